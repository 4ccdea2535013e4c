"""Types of the Python module quorvane (see its docstrings)."""
import os
from typing import Any, Callable, Iterable, List, Literal, NamedTuple, Optional, Tuple, Union, overload

StrOrBytesPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# bytes, bytearray, memoryview and any other object with a contiguous buffer.
BytesLike = Union[bytes, bytearray, memoryview]
Existing = Literal["ask", "replace", "keep-quietly"]
SignItem = Union[StrOrBytesPath, Tuple[StrOrBytesPath, Optional[StrOrBytesPath]]]
Message = Tuple[int, int, str]
# progress(files_done, files_known, bytes_copied)
Progress = Callable[[int, int, int], Any]

__version__: str
__all__: List[str]

OK: int
NOT_SIGNED: int
ALREADY_SIGNED: int
NEED_MORE: int
INVALID_ARGUMENT: int
INVALID_TEXT: int
CANNOT_READ: int
CANNOT_WRITE: int
OUTPUT_EXISTS: int
NO_MEMORY: int
FAILED: int
MAX_TRAILER_BYTES: int
MAX_TEXT_UNITS: int
MAX_TEXT_FILE_BYTES: int
MAX_JOBS: int
FIRST_READ_BYTES: int
INVALID_OUTPUT_FOLDER: str
ASK: Existing
REPLACE: Existing
KEEP_QUIETLY: Existing

class Error(Exception):
    status: int
    filename: Any

class NotSignedError(Error): ...
class AlreadySignedError(Error): ...

class NeedMoreBytesError(Error):
    needed: int

class InvalidArgumentError(Error, ValueError): ...
class TextError(Error, ValueError): ...
class ReadError(Error, OSError): ...
class WriteError(Error, OSError): ...
class OutputExistsError(Error, FileExistsError): ...
class NoMemoryError(Error, MemoryError): ...

class KindWarning(UserWarning):
    kind: str
    consequence: str
    def __init__(self, kind: str, consequence: str) -> None: ...

class Checked(NamedTuple):
    path: StrOrBytesPath
    text: Optional[str]
    signed_at: Optional[str]
    reason: Optional[str]
    json_line: str

class SignPlan(NamedTuple):
    outputs: List[str]
    earlier: List[Optional[int]]
    parts: List[List[int]]

def sign(src: StrOrBytesPath, dst: StrOrBytesPath, text: str, *, replace: bool = ...) -> None: ...
@overload
def check(path: StrOrBytesPath, *, with_time: Literal[False] = ...) -> Optional[str]: ...
@overload
def check(
    path: StrOrBytesPath, *, with_time: Literal[True]
) -> Tuple[Optional[str], Optional[str]]: ...
def strip(src: StrOrBytesPath, dst: StrOrBytesPath, *, replace: bool = ...) -> None: ...
def trailer(text: str, time: int) -> bytes: ...
@overload
def read_trailer(
    tail_bytes: BytesLike, file_size: Optional[int] = ..., *, with_time: Literal[False] = ...
) -> Optional[str]: ...
@overload
def read_trailer(
    tail_bytes: BytesLike, file_size: Optional[int] = ..., *, with_time: Literal[True]
) -> Tuple[Optional[str], Optional[str]]: ...
def sign_bytes(data: BytesLike, text: str, *, skip_kinds: bool = ...) -> bytes: ...
def strip_bytes(data: BytesLike) -> bytes: ...
def text_from_file_bytes(data: BytesLike) -> str: ...
def with_crlf(text: str) -> str: ...
def text_to_sign(text: str) -> str: ...
def time_text(seconds: int) -> str: ...
def file_kind(path: StrOrBytesPath) -> Optional[Tuple[str, str]]: ...
def check_remote(
    fs: Any,
    path: str,
    first_read: int = ...,
    *,
    with_time: bool = ...,
    follow_other_hosts: bool = ...,
) -> Any: ...
def sign_batch(
    items: Iterable[SignItem],
    output_folder: StrOrBytesPath,
    text: str,
    existing: Existing = ...,
    jobs: int = ...,
    skip_kinds: bool = ...,
    written_earlier: Iterable[Tuple[StrOrBytesPath, StrOrBytesPath]] = ...,
    *,
    on_result: Optional[Callable[[Message], Any]] = ...,
    progress: Optional[Progress] = ...,
) -> Tuple[int, List[Message]]: ...
def check_batch(
    paths: Iterable[StrOrBytesPath],
    jobs: int = ...,
    *,
    on_result: Optional[Callable[[Checked], Any]] = ...,
    progress: Optional[Progress] = ...,
) -> List[Checked]: ...
def strip_batch(
    sources: Iterable[StrOrBytesPath],
    output_folder: StrOrBytesPath,
    existing: Existing = ...,
    jobs: int = ...,
    written_earlier: Iterable[Tuple[StrOrBytesPath, StrOrBytesPath]] = ...,
    *,
    on_result: Optional[Callable[[Message], Any]] = ...,
    progress: Optional[Progress] = ...,
) -> Tuple[int, List[Message]]: ...
def list_files(
    folder: StrOrBytesPath,
    output_folder: Optional[StrOrBytesPath] = ...,
    *,
    follow_links: bool = ...,
) -> Tuple[List[Tuple[str, str]], List[str]]: ...
def list_sign_items(
    path: StrOrBytesPath,
    output_folder: Optional[StrOrBytesPath] = ...,
    *,
    follow_links: bool = ...,
    recursive: bool = ...,
) -> Tuple[List[Tuple[str, str]], List[str]]: ...
def list_sign_entries(
    path: StrOrBytesPath,
    output_folder: Optional[StrOrBytesPath] = ...,
    *,
    follow_links: bool = ...,
    recursive: bool = ...,
) -> List[Union[Tuple[str, str], str]]: ...
def list_check_entries(
    path: StrOrBytesPath, *, follow_links: bool = ..., recursive: bool = ...
) -> List[Tuple[str, Optional[str]]]: ...
def plan_sign_batch(
    items: Iterable[SignItem], output_folder: StrOrBytesPath, part_size: int = ...
) -> SignPlan: ...
def summary(signed_count: int) -> str: ...
def strip_output(source: StrOrBytesPath, output_folder: StrOrBytesPath) -> str: ...
