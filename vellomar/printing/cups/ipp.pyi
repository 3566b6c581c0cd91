from typing import Any, Dict

def query_scheduler(timeout: float, check_printers: bool = ..., *,
                    printer_timeout: float = ...) -> Dict[str, Any]: ...
