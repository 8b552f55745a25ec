"""A batch of PVM runs on a Dask cluster.

Each job is a `qorvel_pvm.Job` (program, registers, memory, gas): jobs and
their results pickle, so Dask's distributed scheduler ships them to its
workers and the results back, and `qorvel_pvm.parallel.run_job` is the
function it calls.  Here the jobs are the prime sieve of
examples/sieve.pvmimg on a range of bounds.

    python examples/dask_batch.py                 # a local cluster of 2 worker processes
    python examples/dask_batch.py tcp://host:8786 # the scheduler of an existing cluster

Needs Dask's distributed scheduler: pip install 'qorvel_pvm[dask]'.  On a
real cluster every worker needs qorvel_pvm installed too (the same version).
"""

from __future__ import annotations

import sys
from pathlib import Path
from typing import Any, Sequence

from qorvel_pvm import Job, RunResult, image
from qorvel_pvm.parallel import run_job

SIEVE = Path(__file__).resolve().parent / "sieve.pvmimg"
GAS = 10**10


def sieve_jobs(bounds: Sequence[int]) -> list[Job]:
    """A job per bound: the sieve container loaded with the bound as its argument."""
    container = SIEVE.read_bytes()
    jobs = []
    for bound in bounds:
        img = image.load(container, args=str(bound).encode())
        jobs.append(Job(img.program, registers=img.registers, memory=img.memory, gas=GAS))
    return jobs


def run_on_dask(client: Any, jobs: Sequence[Job]) -> list[RunResult]:
    """Runs the jobs on the cluster behind `client` (a distributed.Client);
    the results come back in job order.  `pure=False`: equal jobs are still
    separate runs."""
    futures = client.map(run_job, jobs, pure=False)
    return list(client.gather(futures))


def main(argv: Sequence[str]) -> int:
    from distributed import Client, LocalCluster

    bounds = [10_000 * k for k in range(1, 17)]
    jobs = sieve_jobs(bounds)
    if argv:
        client = Client(argv[0])
    else:
        # Worker processes, one thread each: the runs use one core per worker.
        client = Client(LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None))
    with client:
        results = run_on_dask(client, jobs)
    for bound, r in zip(bounds, results):
        print(f"primes up to {bound:>7,}: {r.registers[7]:>6,} (largest {r.registers[8]:,}), {r.status}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
