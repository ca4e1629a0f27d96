#!/usr/bin/env python3
"""Checks one run's kestrel-isp --json stream: every line is valid UTF-8 and one object that
the schema takes, the run ends with its result (after an error object when it failed), and
what the caller expects is there.

    check-json.py SCHEMA STREAM --command C --exit N [--events E,E...] [--hint]
                  [--path PATH] [--data-file FILE]

--events: events that must each come at least once; --hint: the error object carries a hint;
--path: some error or saved object names this path, path_hex its bytes exactly.
"""
import argparse
import json
import os
import sys

import jsonschema


def fail(message):
    print("check-json: " + message, file=sys.stderr)
    sys.exit(1)


def main():
    parser = argparse.ArgumentParser()
    for name in ("schema", "stream", "--command", "--path"):
        parser.add_argument(name)
    parser.add_argument("--exit", type=int, required=True)
    parser.add_argument("--events", default="")
    parser.add_argument("--hint", action="store_true")
    args = parser.parse_args()

    with open(args.schema, encoding="utf-8") as f:
        validator = jsonschema.Draft7Validator(json.load(f))
    try:
        with open(args.stream, encoding="utf-8", newline="") as f:
            text = f.read()
    except UnicodeDecodeError as e:
        fail("not UTF-8: %s" % e)
    if not text.endswith("\n"):
        fail("the stream does not end with a line end: %r" % text[-80:])
    objects = []
    for number, line in enumerate(text.split("\n")[:-1], 1):
        try:
            obj = json.loads(line)
        except ValueError as e:
            fail("line %d is not JSON (%s): %r" % (number, e, line))
        errors = sorted(validator.iter_errors(obj), key=lambda e: e.path)
        if errors:
            fail("line %d does not fit the schema: %s\n  %s" % (number, errors[0].message, line))
        objects.append(obj)

    result = objects[-1] if objects else {"event": None}
    if result["event"] != "result":
        fail("the last object is no result: %r" % result)
    if sum(1 for o in objects if o["event"] == "result") != 1:
        fail("more than one result")
    want_command = None if args.command == "-" else args.command
    if result["command"] != want_command or result["exit"] != args.exit:
        fail("result %r, not command %r exit %d" % (result, want_command, args.exit))
    if result["ok"] != (args.exit == 0):
        fail("ok does not go with exit: %r" % result)
    errors = [o for o in objects if o["event"] == "error"]
    if not result["ok"] and not errors:
        fail("a failed run without an error object")
    if len(errors) > 1:
        fail("more than one error object: %r" % errors)
    if result["ok"] and errors:
        fail("an error object in a run that succeeded: %r" % errors)
    if args.hint and not any("hint" in e for e in errors):
        fail("no hint with the error: %r" % errors)
    kinds = {o["event"] for o in objects}
    for event in filter(None, args.events.split(",")):
        if event not in kinds:
            fail("no %s object among %s" % (event, sorted(kinds)))
    if args.path is not None:
        want = os.fsencode(args.path).hex()
        if not any(o.get("path_hex") == want for o in objects):
            fail("no object names %r as path_hex %s" % (args.path, want))


main()
