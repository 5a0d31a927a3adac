"""Exact travelling salesman solving with tourplan's engines.

solve() gives the proven optimum of a square cost matrix and, among several optimal tours,
always the same one: the first in lexicographic order, as the tourplan program prints it.
solve_points() solves points by their coordinates under TSPLIB's distance rules, solve_graph()
a networkx graph by its node names, and solve_many() many problems at once, over this
machine's cores or any concurrent.futures executor. read_tsplib() reads a TSPLIB instance,
tour_cost() prices a tour and write_tour() writes one as a TSPLIB TOUR file. Points count
from 0.
"""
import concurrent.futures
import math
import multiprocessing
import multiprocessing.connection
import numbers
import operator
import os
import signal

from ._tourplan import (Instance, Progress, Solution, _set_threads, read_tsplib, solve,
                        solve_points, tour_cost, write_tour)

__all__ = ["Instance", "Progress", "Solution", "read_tsplib", "solve", "solve_graph",
           "solve_many", "solve_points", "tour_cost", "write_tour"]


# ---- Graphs ----

def _whole_weight(u, v, value):
    """An edge's weight as an exact int: ints, and real numbers of whole value."""
    if not isinstance(value, bool) and hasattr(value, "__index__"):
        return operator.index(value)
    if not isinstance(value, bool) and isinstance(value, numbers.Real):
        if math.isfinite(value) and float(value).is_integer():
            return int(value)
        raise ValueError("edge (%r, %r): weight %r is not a whole number; scale and round "
                         "the weights first" % (u, v, value))
    raise ValueError("edge (%r, %r): weight %r is not a number" % (u, v, value))


def solve_graph(G, weight="weight", cycle=True, *, start=None, end=None, time_limit=None,
                progress=None):
    """solve_graph(G, weight="weight", cycle=True, *, start=None, end=None, time_limit=None,
                progress=None) -> Solution

    Solves the travelling salesman problem over a networkx graph or digraph (multigraphs
    too, by their lightest parallel edge): the least-cost tour through every node, from
    start (the first node of G.nodes when None) back to it. The Solution's tour holds node
    names, not numbers; its cost, proven, lower_bound and seconds are solve()'s.

    weight: the edge attribute holding the cost (1 where an edge lacks it), each a whole
    number (an int, or a float of whole value). An edge of an undirected graph goes both
    ways at the same cost. A complete graph is solved as it is. An incomplete one is solved
    over its shortest-path distances, as networkx does, and each step of the tour is then
    expanded back into the shortest path it stands for, so that a node may appear more than
    once; its weights must then be 0 or more.

    cycle=False: the least-cost path from start through every node, ending anywhere; end
    (a node): the path that ends there. progress and time_limit as for solve().

    networkx is imported by this function only. Raises ValueError for a graph of fewer than
    2 nodes, a start or end that is not a node, a weight that is not a whole number, a
    negative weight in an incomplete graph, or a node that cannot reach another.
    """
    import networkx

    nodes = list(G.nodes)
    if len(nodes) < 2:
        raise ValueError("G: %d node%s; a tour needs at least 2"
                         % (len(nodes), "" if len(nodes) == 1 else "s"))
    for name, node in (("start", start), ("end", end)):
        if node is not None and node not in G:
            raise ValueError("%s: %r is not a node of G" % (name, node))
    if start is not None:
        nodes.remove(start)
        nodes.insert(0, start)
    if end is not None and end == nodes[0]:
        raise ValueError("end: %r is the start; a path ends at another node" % (end,))
    index = {node: k for k, node in enumerate(nodes)}

    def edge_weight(u, v, data):
        # The weight function networkx takes: a multigraph gives all its parallel edges.
        if G.is_multigraph():
            return min(_whole_weight(u, v, d.get(weight, 1)) for d in data.values())
        return _whole_weight(u, v, data.get(weight, 1))

    n = len(nodes)
    costs = [[0] * n for _ in range(n)]
    missing = False
    for u in nodes:
        for v in nodes:
            if u == v:
                continue
            data = G.get_edge_data(u, v)
            if data is None:
                missing = True
            else:
                costs[index[u]][index[v]] = edge_weight(u, v, data)
    paths = None
    if missing:
        for u, v, data in G.edges(data=True):
            if edge_weight(u, v, {0: data} if G.is_multigraph() else data) < 0:
                raise ValueError("edge (%r, %r): a negative weight; an incomplete graph is "
                                 "solved over shortest paths, which need weights of 0 or more"
                                 % (u, v))
        paths = {}
        for u, (distance, path) in networkx.all_pairs_dijkstra(G, weight=edge_weight):
            for v in nodes:
                if v != u and v not in distance:
                    raise ValueError("G: no path from %r to %r; every node must reach every "
                                     "other" % (u, v))
            costs[index[u]] = [distance[v] if v != u else 0 for v in nodes]
            paths[u] = path
    solution = solve(costs, time_limit=time_limit, cycle=cycle,
                     end=None if end is None else index[end], progress=progress)
    order = [nodes[point] for point in solution.tour]
    if paths is not None:
        expanded = order[:1]
        for u, v in zip(order, order[1:]):
            expanded.extend(paths[u][v][1:])
        order = expanded
    return Solution(order, solution.cost, solution.proven, solution.lower_bound,
                    solution.seconds)


# ---- Many problems ----

def _solve_one(problem, time_limit, caller=None):
    """One problem of solve_many, in whichever process runs it: its Solution, or the
    exception it raised (an Exception, not KeyboardInterrupt or SystemExit). In a process
    other than the caller's (process id caller) the solve takes one thread: the processes
    are what share out the cores, and a solve over every core in each would only make
    them wait on one another."""
    if caller is not None and os.getpid() != caller:
        _set_threads(1)
    try:
        if isinstance(problem, dict):
            keywords = dict(problem)
            if time_limit is not None:
                keywords.setdefault("time_limit", time_limit)
            if "points" in keywords:
                return solve_points(**keywords)
            if "costs" in keywords:
                return solve(**keywords)
            raise ValueError("a problem given as a dict needs 'costs' or 'points', not %s"
                             % sorted(keywords))
        return solve(problem, time_limit=time_limit)
    except Exception as error:  # noqa: BLE001 -- the caller gets it as this problem's result
        return error


def _work(connection):
    """A worker process of solve_many: problems in, results out, until None or the end of
    the connection."""
    # Ctrl+C reaches the whole process group: the calling process alone answers it, by
    # ending the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    _set_threads(1)  # the processes share out the cores: see _solve_one
    while True:
        try:
            task = connection.recv()
        except EOFError:
            return
        if task is None:
            return
        problem, time_limit = task
        result = _solve_one(problem, time_limit)
        try:
            connection.send(result)
        except Exception as error:  # noqa: BLE001 -- an exception that does not pickle
            connection.send(RuntimeError("%s: %s" % (type(result).__name__, error)))


def _solve_in_processes(problems, processes, time_limit):
    """The results of problems over a pool of its own: one problem at a time to each worker,
    so that a worker that dies costs its own problem only, and every worker can be ended at
    once (Ctrl+C) without waiting on a queue."""
    # A fork server starts each worker from a clean process, not a copy of this one with
    # its threads (the solver's helpers may hold locks at the moment of a fork).
    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")
    results = [None] * len(problems)
    waiting = list(range(len(problems) - 1, -1, -1))  # popped from the end: in order
    workers = []  # [process, connection, the index of its problem or None]

    def start_worker():
        mine, theirs = context.Pipe()
        process = context.Process(target=_work, args=(theirs,), daemon=True)
        process.start()
        theirs.close()
        workers.append([process, mine, None])

    try:
        for _ in range(processes):
            start_worker()
        while waiting or any(worker[2] is not None for worker in workers):
            for worker in workers:
                if worker[2] is None and waiting:
                    worker[2] = waiting.pop()
                    try:
                        worker[1].send((problems[worker[2]], time_limit))
                    except (BrokenPipeError, EOFError):
                        pass  # found below by its sentinel
            busy = [worker for worker in workers if worker[2] is not None]
            ready = multiprocessing.connection.wait(
                [worker[1] for worker in busy] + [worker[0].sentinel for worker in busy])
            for worker in busy:
                process, connection, index = worker
                if connection in ready or connection.poll():
                    try:
                        results[index] = connection.recv()
                        worker[2] = None
                        continue
                    except (EOFError, OSError):
                        pass
                elif process.sentinel not in ready:
                    continue
                # The worker ended without an answer (killed, out of memory): its problem
                # alone is lost, and another worker takes its place.
                process.join()
                results[index] = RuntimeError("the process solving this problem ended with "
                                              "exit status %s" % process.exitcode)
                connection.close()
                workers.remove(worker)
                start_worker()
    except BaseException:
        for process, _, _ in workers:
            process.terminate()
        raise
    finally:
        for process, connection, _ in workers:
            try:
                connection.send(None)
            except OSError:
                pass
            connection.close()
        for process, _, _ in workers:
            process.join()
    return results


def solve_many(problems, *, processes=None, executor=None, time_limit=None):
    """solve_many(problems, *, processes=None, executor=None, time_limit=None) -> list

    Solves many problems at once and returns their results in order. Each problem is a
    cost matrix as solve() takes it, or a dict of the keywords of solve() (with "costs")
    or of solve_points() (with "points"), such as {"points": xy, "metric": "CEIL_2D"}. Each
    result is that problem's Solution, or the exception it raised (a ValueError for a
    matrix that is not square, ...): one bad problem costs the others nothing.

    The work is spread over processes (one problem at a time in each, since the solver's
    tables are global, each solving on one thread): as many as this process may use cores
    when processes is None; 1 solves in this process, as solve() does. executor: any
    concurrent.futures.Executor to run the problems instead, such as a Dask cluster's,
    distributed.Client(...).get_executor(), whose workers must be able to import tourplan. time_limit: each problem's, as for solve()
    (a dict's own time_limit wins).

    Ctrl+C (KeyboardInterrupt) ends every worker process of the pool at once and goes on;
    with an executor, it cancels the problems not yet started (the running ones end on
    their workers). A worker that dies (killed, out of memory) costs its own problem only:
    its result is a RuntimeError that says so. The workers are started from a clean process
    (a fork server), which imports the main module again: a script that calls solve_many
    keeps its top level under if __name__ == "__main__":, as multiprocessing needs.
    """
    problems = list(problems)
    if processes is not None and (isinstance(processes, bool) or
                                  not isinstance(processes, int) or processes < 1):
        raise ValueError("processes must be a whole number above 0 or None, not %r"
                         % (processes,))
    if executor is not None and processes is not None:
        raise ValueError("give processes or executor, not both")
    if executor is not None and not isinstance(executor, concurrent.futures.Executor):
        raise ValueError("executor must be a concurrent.futures.Executor, not %r"
                         % (executor,))
    if time_limit is not None:
        solve([[0, 1], [1, 0]], time_limit=time_limit)  # its checks, before any work starts
    if executor is None:
        if processes is None:
            processes = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") \
                else os.cpu_count() or 1
        processes = min(processes, len(problems))
        if processes <= 1:
            return [_solve_one(problem, time_limit) for problem in problems]
    if executor is None:
        return _solve_in_processes(problems, processes, time_limit)
    futures = []
    try:
        futures = [executor.submit(_solve_one, problem, time_limit, os.getpid())
                   for problem in problems]
        results = []
        for future in futures:
            try:
                results.append(future.result())
            except Exception as error:  # noqa: BLE001 -- a worker lost, a result not sent
                results.append(error)
    except BaseException:
        for future in futures:
            future.cancel()
        raise
    return results
