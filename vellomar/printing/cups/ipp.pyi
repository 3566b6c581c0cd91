from typing import Any, Dict, List, Optional, Sequence, Tuple

def query_scheduler(timeout: float, check_printers: bool = ..., *,
                    printer_timeout: float = ...,
                    destination: Optional[str] = ...) -> Dict[str, Any]: ...

def submit(queue: str, document: Any, *, title: str = ..., options: Sequence[Any] = ...,
           document_format: Optional[str] = ..., timeout: float = ...,
           idle_timeout: float = ...,
           credentials: Optional[Tuple[str, str]] = ...) -> Dict[str, Any]: ...
def request(operation: int, attributes: Sequence[Tuple[str, str, Any]] = ..., *,
            uri: Optional[str] = ...,
            timeout: float = ...) -> Tuple[int, List[Tuple[int, Dict[str, List[Any]]]]]: ...
