#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""Prints one summary of a test run: every step and every test by name, then the closing count.

Reads RESULTS/steps (lines "NAME passed|failed|skipped ..."), the ctest JUnit reports RESULTS/*.xml and the
steps' output, RESULTS/output-NAME.log.
Exits 1 when anything failed.
"""
import pathlib
import re
import sys
import xml.etree.ElementTree as ElementTree


def junit_cases(report: pathlib.Path):
    suite = report.stem
    for case in ElementTree.parse(report).getroot().iter("testcase"):
        name = f"{suite}: {case.get('name')}"
        status = case.get("status", "")
        seconds = float(case.get("time") or 0)
        if case.find("failure") is not None or case.find("error") is not None or status == "fail":
            yield name, "failed", seconds
        elif case.find("skipped") is not None or status in ("notrun", "disabled", "skipped"):
            yield name, "skipped", seconds
        else:
            yield name, "passed", seconds


def main() -> int:
    results = pathlib.Path(sys.argv[1])
    steps = []
    steps_file = results / "steps"
    if steps_file.exists():
        for line in steps_file.read_text().splitlines():
            words = line.split(" ")
            for index, word in enumerate(words):
                if word in ("passed", "failed", "skipped"):
                    steps.append((" ".join(words[:index]), word, " ".join(words[index + 1:])))
                    break

    cases = []
    for report in sorted(results.glob("*.xml")):
        try:
            cases.extend(junit_cases(report))
        except ElementTree.ParseError:
            steps.append((f"report {report.name}", "failed", "(unreadable)"))

    print("\n== Summary")
    for name, outcome, detail in steps:
        print(f"  step {outcome:7} {name} {detail}".rstrip())
    # Where the time goes, to keep the whole run within CI's limit.
    print("  slowest tests:")
    for name, _, seconds in sorted(cases, key=lambda case: -case[2])[:12]:
        print(f"    {seconds:6.0f} s  {name}")
    for outcome in ("failed", "skipped"):
        names = [name for name, result, _ in cases if result == outcome]
        if names:
            print(f"  {outcome} tests:")
            for name in names:
                print(f"    {name}")
    # The end of what each failed step printed: CI keeps only the end of a run's output.
    for name, outcome, _ in steps:
        output = results / ("output-%s.log" % re.sub(r"[^A-Za-z0-9.-]", "_", name))
        if outcome == "failed" and output.exists():
            print(f"  the end of the output of {name}:")
            for line in output.read_text(errors="replace").splitlines()[-30:]:
                print(f"    {line}")
    # Steps that are not test runs count as one test each; test runs count by their tests.
    counted = [(name, outcome) for name, outcome, _ in steps if not name.startswith("tests ")]
    counted += [(name, outcome) for name, outcome, _ in cases]
    # A test run that failed with no failing test (a crash, a time-out of ctest itself) still counts.
    for name, outcome, _ in steps:
        suite = name.removeprefix("tests ")
        if name.startswith("tests ") and outcome == "failed":
            if not any(case.startswith(suite + ":") and result == "failed" for case, result, _ in cases):
                counted.append((name, "failed"))
    tally = {outcome: sum(1 for _, result in counted if result == outcome) for outcome in ("passed", "failed", "skipped")}
    step_failed = any(outcome == "failed" for _, outcome, _ in steps)
    print(f"{tally['passed']} passed, {tally['failed']} failed, {tally['skipped']} skipped")
    return 1 if tally["failed"] or step_failed else 0


if __name__ == "__main__":
    sys.exit(main())
