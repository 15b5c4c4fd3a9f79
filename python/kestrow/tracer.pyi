"""Fast kestrow tracer."""

from types import FrameType
from typing import Any, Callable

class CFileDisposition:
    """CFileDisposition objects"""

    original_filename: Any
    canonical_filename: Any
    source_filename: str | None
    trace: Any
    reason: Any
    file_tracer: Any
    has_dynamic_filename: Any

class CTracer:
    """CTracer objects"""

    should_trace: Callable[[str, FrameType], CFileDisposition | None] | None
    check_include: Callable[[Any, FrameType], Any] | None
    warn: Callable[..., Any] | None
    concur_id_func: Callable[[], Any] | None
    data: dict[Any, set[int]] | None
    file_tracers: dict[Any, Any] | None
    should_trace_cache: dict[Any, CFileDisposition | None] | None
    trace_arcs: Any
    should_start_context: Callable[[FrameType], Any] | None
    switch_context: Callable[[Any], Any] | None
    lock_data: Callable[[], Any] | None
    unlock_data: Callable[[], Any] | None
    disable_plugin: Callable[[CFileDisposition], Any] | None

    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def __call__(self, frame: FrameType, event: str, arg: Any) -> CTracer: ...
    def start(self, *args: Any) -> CTracer:
        """Start the tracer"""
    def stop(self, *args: Any) -> None:
        """Stop the tracer"""
    def get_stats(self, *args: Any) -> None:
        """Get statistics about the tracing"""
    def activity(self, *args: Any) -> bool:
        """Has there been any activity?"""
    def reset_activity(self, *args: Any) -> None:
        """Reset the activity flag"""
