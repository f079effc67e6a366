"""wuna.collect(): a full collection of the calling thread's native blocks, answering how many
it freed. Native cycles are made only by compiled code (its own tests are the native
Collector tests); from Python, the function runs, counts nothing that is not cyclic garbage
and leaves every live block alone."""
import threading

import wuna


def test_collect_answers_how_many_blocks_it_freed():
    wuna.collect()
    before = wuna._blocks()
    assert wuna.collect() == 0
    assert wuna.collect() == 0
    assert wuna._blocks() == before


def test_collect_runs_on_any_thread():
    answers = []
    thread = threading.Thread(target=lambda: answers.append(wuna.collect()))
    thread.start()
    thread.join(60)
    assert answers == [0]
