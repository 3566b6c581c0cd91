# Types of the setup extension module.
from typing import Dict, Iterator, Literal, Tuple, TypedDict, Union

from .call import Timeouts

class Settings(TypedDict):
    env: Dict[str, str]
    timeout: Timeouts

def is_available() -> Tuple[bool, str]:
    """(True, "") when CUPS printing can be used on this host, else (False, reason)."""

def get_version_info() -> Union[
    Tuple[Literal[True], Iterator[Tuple[str, str]]], Tuple[Literal[False], str]
]:
    """(True, (option, line) pairs of cups-config's output), or (False, reason)."""

def setup(*args: object, **kwargs: object) -> Settings:
    """The environment and time limits for running CUPS tools as child processes."""
