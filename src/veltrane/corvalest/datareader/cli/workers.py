"""Running the inspections: in this process, or in a pool of worker processes."""
from concurrent.futures import ProcessPoolExecutor

from .failures import error_record
from .paths import file_size
from .records import inspect_path


def inspect_all(targets, options, jobs, progress):
    """Yield one record per target, in target order."""
    pending = [path for path, error in targets if error is None]
    if jobs <= 1 or len(pending) <= 1:
        return _inspect_in_turn(targets, options, progress)
    return _inspect_in_workers(targets, options, min(jobs, len(pending)), progress)


def _inspect_in_turn(targets, options, progress):
    for path, error in targets:
        progress.show()
        yield error or inspect_path(path, *options)
        progress.advance(file_size(path))


def _inspect_in_workers(targets, options, jobs, progress):
    with ProcessPoolExecutor(max_workers=jobs) as pool:
        futures = [
            None if error else pool.submit(inspect_path, path, *options) for path, error in targets
        ]
        for (path, error), future in zip(targets, futures):
            progress.show()
            yield error or _worker_result(path, future)
            progress.advance(file_size(path))


def _worker_result(path, future):
    try:
        return future.result()
    except Exception as exc:  # the worker died (BrokenProcessPool) or the call could not travel
        return error_record(path, exc)
