"""The format-neutral core: units, decay, the protected tail, the budget, start_on."""
import pytest

import zelmo_micro as z
from zelmo.history import BudgetError, Records, trim_records, unit_starts

S, U, A, T, F, TH = z.SYSTEM, z.USER, z.ASSISTANT, z.TOOL, z.FACT, z.THINKING


def records(flags, tokens=None, calls=None, answers=None, bound=()):
    """Records from short specs: calls/answers map a position to call ids."""
    return Records(list(flags), list(tokens or [10] * len(flags)),
                   {p: [(c, f"tool_calls[{j}].id") for j, c in enumerate(ids)]
                    for p, ids in (calls or {}).items()},
                   {p: [(c, "tool_call_id") for c in ids] for p, ids in (answers or {}).items()},
                   bound)


def test_a_tool_loop_keeps_the_request_and_the_newest_results():
    # system, an old exchange, then the current request and its tool loop.
    flags = [S, U, A, U, A, T, T, A, T]
    rec = records(flags, calls={4: ["a", "b"], 7: ["c"]}, answers={5: ["a"], 6: ["b"], 8: ["c"]})
    report = trim_records(rec)
    assert report.kept == list(range(9))
    # Without the tail rule the module alone purges every TOOL result.
    alone = z.dehydrate([(str(i), f) for i, f in enumerate(flags)])["kept"]
    assert alone == ["0", "1", "2", "3", "4", "7"]


def test_decay_purges_old_turns_and_takes_whole_exchanges():
    # An old exchange (call at 1, results at 2 and 3), then twelve user turns.
    flags = [S, A, T, T] + [U, A] * 6
    rec = records(flags, calls={1: ["x"]}, answers={2: ["x"], 3: ["x"]})
    report = trim_records(rec)
    assert report.kept == [0] + list(range(6, 16))
    assert (report.units_in, report.units_purged) == (14, 3)
    assert report.messages_purged == 5
    # Young enough, the assistant's call keeps its TOOL results with it.
    young = trim_records(records([S, U, A, T, T, A], calls={2: ["x"]}, answers={3: ["x"], 4: ["x"]}),
                         keep_last=0)
    assert young.kept == [0, 1, 2, 3, 4, 5]


@pytest.mark.parametrize("max_tokens, kept", [
    (70, [0, 1, 2, 3, 4, 5, 6, 7]),
    (69, [0, 3, 4, 5, 6, 7]),   # the exchange at 1-2 goes whole, oldest first
    (50, [0, 3, 4, 5, 6, 7]),
    (49, [0, 4, 5, 6, 7]),
    (39, [0, 4, 6, 7]),         # the pinned fact at 4 and the tail from 6 stay
    (30, [0, 4, 6, 7]),
])
def test_budget_purges_oldest_units_until_the_rest_fits(max_tokens, kept):
    flags = [S, A, T, U, U | F, A, U, A]
    tokens = [10, 10, 10, 10, 10, 10, 5, 5]
    rec = records(flags, tokens, calls={1: ["x"]}, answers={2: ["x"]})
    report = trim_records(rec, max_tokens=max_tokens, decay=False)
    assert report.kept == kept
    assert report.tokens_before == 70
    assert report.tokens_after == sum(tokens[i] for i in kept) <= max_tokens


def test_budget_too_small_for_what_must_stay_raises():
    rec = records([S, A, U, A], [10, 10, 10, 10])
    with pytest.raises(BudgetError, match="need 30 tokens, but max_tokens is 29") as info:
        trim_records(rec, max_tokens=29)
    assert (info.value.needed, info.value.max_tokens) == (30, 29)
    # Reserved tokens (a system prompt held apart) count too.
    with pytest.raises(BudgetError, match="need 35 tokens"):
        trim_records(rec, max_tokens=34, reserved_tokens=5)
    assert trim_records(rec, max_tokens=35, reserved_tokens=5).tokens_after == 35


def test_keep_system_false_lets_the_budget_purge_system_messages():
    rec = records([S, A, U], [10, 10, 10])
    assert trim_records(rec, max_tokens=15, keep_system=False).kept == [2]
    with pytest.raises(BudgetError):
        trim_records(rec, max_tokens=15)


@pytest.mark.parametrize("keep_last, max_tokens, kept", [
    (0, 30, [0, 4, 5]), (1, 30, [0, 4, 5]), (3, 40, [0, 3, 4, 5]), (9, 60, [0, 1, 2, 3, 4, 5])])
def test_keep_last_widens_the_tail(keep_last, max_tokens, kept):
    rec = records([S, A, A, A, U, A], [10] * 6)
    assert trim_records(rec, max_tokens=max_tokens, keep_last=keep_last, decay=False).kept == kept
    with pytest.raises(BudgetError):
        trim_records(rec, max_tokens=max_tokens - 1, keep_last=keep_last, decay=False)


def test_without_a_user_message_only_keep_last_protects():
    rec = records([S, A, T, A], [10] * 4)
    assert trim_records(rec, max_tokens=20, decay=False).kept == [0, 3]
    with pytest.raises(BudgetError):
        trim_records(rec, max_tokens=20, decay=False, keep_last=2)


def test_start_on_user_drops_leading_non_user_units_but_not_system():
    flags = [S, A, T, A, U, A]
    rec = records(flags, [10] * 6, calls={1: ["x"]}, answers={2: ["x"]})
    report = trim_records(rec, start_on_user=True, decay=False)
    assert report.kept == [0, 4, 5]
    assert report.units_purged == 2
    # A pinned message is never dropped for it: the cut stops there.
    pinned = records([S, A, A | F, A, U], [10] * 5)
    assert trim_records(pinned, start_on_user=True, decay=False).kept == [0, 2, 3, 4]


def test_bound_positions_go_together():
    rec = records([S, TH, A, U, A], [10] * 5, bound=[2])
    assert trim_records(rec, max_tokens=40, decay=False).kept == [0, 3, 4]
    # Thinking alone (weight 0.15) decays, but its bound answer keeps it.
    assert trim_records(rec).kept == [0, 1, 2, 3, 4]


@pytest.mark.parametrize("flags, calls, answers, bound, starts", [
    # One answer per message, results out of call order.
    ([U, A, T, T, A, T], {1: ["a", "b"], 4: ["c"]}, {2: ["b"], 3: ["a"], 5: ["c"]}, (),
     [0, 1, 1, 1, 4, 4]),
    # One message answering calls of two callers joins their units.
    ([U, A, A, T], {1: ["a"], 2: ["b"]}, {3: ["a", "b"]}, (), [0, 1, 1, 1]),
    # A message that answers one call and makes another chains the units.
    ([U, A, A, T], {1: ["a"], 2: ["b"]}, {2: ["a"], 3: ["b"]}, (), [0, 1, 1, 1]),
    # Bound positions join whatever unit the previous position is in.
    ([U, A, T, TH, A], {1: ["a"]}, {2: ["a"]}, [4], [0, 1, 1, 3, 3]),
])
def test_units_group_calls_answers_and_bound_positions(flags, calls, answers, bound, starts):
    assert unit_starts(records(flags, calls=calls, answers=answers, bound=bound)) == starts


@pytest.mark.parametrize("calls, answers, message", [
    ({}, {2: ["zz"]}, r"message 2, field 'tool_call_id': answers tool call 'zz', which no earlier"),
    ({3: ["x"]}, {2: ["x"]}, r"message 2, field 'tool_call_id': answers tool call 'x'"),
    ({1: ["x"], 3: ["x"]}, {}, r"message 3, field 'tool_calls\[0\].id': repeats tool call id 'x' "
                               r"of message 1"),
])
def test_broken_pairing_is_refused_with_index_and_field(calls, answers, message):
    with pytest.raises(ValueError, match=message):
        trim_records(records([U, A, T, A], calls=calls, answers=answers))


@pytest.mark.parametrize("options, error", [
    ({"max_tokens": 1.5}, TypeError), ({"max_tokens": True}, TypeError),
    ({"keep_last": -1}, ValueError), ({"keep_last": "2"}, TypeError),
    ({"reserved_tokens": -3}, ValueError),
])
def test_bad_options_are_refused(options, error):
    with pytest.raises(error):
        trim_records(records([U]), **options)


def test_records_of_unequal_lengths_or_negative_counts_are_refused():
    with pytest.raises(ValueError, match="2 flags but 1 token counts"):
        Records([U, A], [1])
    with pytest.raises(ValueError, match="message 1: the token counter gave -2, expected a count >= 0"):
        Records([U, A], [1, -2])


def test_positions_stay_exact_beyond_the_one_character_markers():
    # Past 55,296 messages the markers skip the surrogate range, and past
    # 1,112,064 they become decimal texts; both map back to exact positions.
    n = 60_000
    flags = [(U, A, T, TH, 0)[i % 5] for i in range(n - 1)] + [U]
    report = trim_records(Records(flags, [1] * n), half_life=4000.0)
    expected = z.dehydrate([(str(i), f) for i, f in enumerate(flags)], 4000.0)["kept"]
    assert report.kept == [int(t) for t in expected]
    assert report.units_purged == n - len(expected) > 0


def test_empty_history():
    report = trim_records(Records([], []), max_tokens=0)
    assert (report.kept, report.tokens_before, report.tokens_after, report.units_in) == ([], 0, 0, 0)
