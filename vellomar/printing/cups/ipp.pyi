from typing import Any, Dict, Optional

def query_scheduler(timeout: float, check_printers: bool = ..., *,
                    printer_timeout: float = ...,
                    destination: Optional[str] = ...) -> Dict[str, Any]: ...
