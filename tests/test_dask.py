"""The Dask example: a batch of jobs on a local cluster of worker processes
gives the results of running the jobs one by one."""

import importlib.util
from pathlib import Path

import pytest

pytest.importorskip("distributed")

from distributed import Client, LocalCluster  # noqa: E402

from qorvel_pvm.parallel import run_job  # noqa: E402

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "dask_batch.py"


def load_example():
    spec = importlib.util.spec_from_file_location("dask_batch", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def outcome(r):
    return r.status, r.pc, r.gas, r.registers, r.memory.__reduce__()


def test_a_batch_on_a_cluster_of_processes_equals_the_jobs_run_one_by_one():
    example = load_example()
    bounds = [1, 97, 5000, 120_000, 40_000]
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster:
        with Client(cluster) as client:
            on_cluster = example.run_on_dask(client, example.sieve_jobs(bounds))
            assert len(client.scheduler_info()["workers"]) == 2
    one_by_one = [run_job(job) for job in example.sieve_jobs(bounds)]
    assert [outcome(r) for r in on_cluster] == [outcome(r) for r in one_by_one]
    assert [r.registers[7] for r in one_by_one] == [0, 25, 669, 11301, 4203]
