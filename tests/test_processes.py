"""The three functions pickle and run in worker processes and on a Dask cluster."""
import multiprocessing
import pickle
import sys
from concurrent.futures import ProcessPoolExecutor

import pytest

from veltrane.corvalest.datareader import cli
from veltrane.corvalest.datareader.fileInspect import getDataFileRanges, getfiletype, inspectFile

FUNCTIONS = [getfiletype, getDataFileRanges, inspectFile]
START_METHODS = [
    method for method in ("spawn", "fork") if method in multiprocessing.get_all_start_methods()
]


def plain_inspection(result):
    """An inspection result whose csv dialect class (made locally, so unpicklable) is replaced by
    its values."""
    if len(result) == 5 and isinstance(result[4], type):
        dialect = result[4]
        return result[:4] + (tuple(getattr(dialect, name) for name in cli.DIALECT_ATTRIBUTES),)
    return result


def inspect_plain(path):
    """What a worker runs: the dialect must be converted before the result travels back."""
    return plain_inspection(inspectFile(path))


@pytest.fixture
def paths(tmp_path):
    files = {
        "cities.csv": "city;country\nLyon;France\nPorto;Portugal\n",
        "stock.txt": "sku\tqty\nA-1\t3\nB-2\t4\n",
        "numbers.csv": "1;2\n3;4\n5;6\n",
        "comma.csv": "a,b\n1,2\n",
    }
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    return [str(tmp_path / name) for name in sorted(files)]


class TestPickling:
    @pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
    @pytest.mark.parametrize("function", FUNCTIONS, ids=lambda function: function.__name__)
    def test_functions_pickle_by_reference(self, function, protocol):
        data = pickle.dumps(function, protocol)
        assert b"veltrane.corvalest.datareader.fileInspect" in data
        assert pickle.loads(data) is function

    def test_the_dialect_class_does_not_pickle(self, paths):
        with pytest.raises((pickle.PicklingError, AttributeError)):
            pickle.dumps(inspectFile(paths[0]))

    def test_cli_records_pickle(self, paths):
        records = [cli.inspect_path(path) for path in paths + ["missing.csv"]]
        assert pickle.loads(pickle.dumps(records)) == records


@pytest.mark.parametrize("method", START_METHODS)
class TestWorkerProcesses:
    def test_pool_map(self, method, paths):
        with multiprocessing.get_context(method).Pool(2) as pool:
            assert pool.map(getfiletype, paths) == [getfiletype(path) for path in paths]
            assert pool.map(getDataFileRanges, paths) == [getDataFileRanges(path) for path in paths]
            assert pool.map(inspect_plain, paths) == [inspect_plain(path) for path in paths]

    def test_process_pool_executor(self, method, paths):
        context = multiprocessing.get_context(method)
        with ProcessPoolExecutor(max_workers=2, mp_context=context) as executor:
            assert list(executor.map(getfiletype, paths)) == [getfiletype(path) for path in paths]
            in_workers = list(executor.map(inspect_plain, paths))
            assert in_workers == [inspect_plain(path) for path in paths]
            # Results without a dialect travel as they are.
            count = len(paths)
            others = list(executor.map(
                inspectFile, paths, ["ods"] * count, [""] * count, [True] * count))
            assert others == [("ods", 0, True, [], None)] * len(paths)

    def test_worker_errors_reach_the_caller(self, method, paths):
        context = multiprocessing.get_context(method)
        with ProcessPoolExecutor(max_workers=1, mp_context=context) as executor:
            future = executor.submit(inspectFile, paths[0] + ".missing", "csv")
            with pytest.raises(FileNotFoundError):
                future.result()


@pytest.fixture(scope="module")
def dask_client():
    """A local cluster of two single-threaded worker processes, as on a real cluster."""
    if sys.version_info < (3, 12):
        pytest.skip("the Dask tests run on the newest interpreters only")
    pytest.importorskip(
        "dask.bag", reason="needs dask (the test extra installs it on Python 3.12+)")
    distributed = pytest.importorskip("distributed", reason="needs distributed")
    cluster = distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    client = distributed.Client(cluster)
    try:
        yield client
    finally:
        client.close()
        cluster.close()


class TestDask:
    def test_bag_of_paths(self, dask_client, paths):
        import dask.bag

        bag = dask.bag.from_sequence(paths, npartitions=2)
        assert bag.map(getfiletype).compute() == [getfiletype(path) for path in paths]
        assert bag.map(getDataFileRanges).compute() == [getDataFileRanges(path) for path in paths]
        # Dask's own serialisation carries the dialect back as a copy of the class.
        inspected = bag.map(inspectFile).compute()
        plain_results = [plain_inspection(result) for result in inspected]
        assert plain_results == [inspect_plain(path) for path in paths]

    def test_cli_records_from_workers(self, dask_client, paths):
        import dask.bag

        records = dask.bag.from_sequence(paths, npartitions=2).map(cli.inspect_path).compute()
        assert records == [cli.inspect_path(path) for path in paths]
