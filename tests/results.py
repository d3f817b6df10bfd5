"""The report loop shared by the test tables."""
import sys



def print_results(rows):
    """Prints each (label, problems, note) as it comes: "ok" with the note,
    or "FAIL" with one line per problem; then the totals.

    Returns the exit status: 1 if any row failed or there was none."""
    failed = passed = 0
    for label, problems, note in rows:
        if problems:
            failed += 1
            print(f"FAIL {label}")
            for p in problems:
                print("  " + p)
        else:
            passed += 1
            print(f"ok   {label}{note}")
        sys.stdout.flush()
    print(f"{passed} passed, {failed} failed")
    return 1 if failed or not passed else 0
