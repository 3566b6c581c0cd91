# Types of the setup extension module.
import platform as platform
from os import environ as environ
from os import path as path
from typing import Dict, Iterator, Literal, Tuple, TypedDict, Union, type_check_only

from .call import Timeouts as Timeouts
from .call import call as call

# The collaborators above are looked up in the module's namespace at each
# call, so callers may replace them; __test__ is there for doctest.
__test__: Dict[str, object]

# Only a name for the dict that setup() returns: the module defines no class.
@type_check_only
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
