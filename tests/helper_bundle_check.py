#!/usr/bin/env python3
"""Checks the helper's launch-daemon layout inside an application bundle.

  helper_bundle_check.py APP_DIR LABEL APP_ID TEAM_ID
      APP_DIR/Contents/Library/LaunchDaemons/LABEL.plist must be a property
      list that SMAppService and launchd accept for the helper: the keys and
      their types, a BundleProgram inside the bundle naming the executable the
      layout holds, and the helper's arguments with a client requirement that
      names the application APP_ID of team TEAM_ID, and the decoder the
      helper runs beside it. Prints each problem found;
      exit status 1 when there is one.
  helper_bundle_check.py --self-test APP_DIR LABEL APP_ID TEAM_ID
      Takes that (valid) plist, breaks it in each of a table of ways in a
      scratch bundle, and fails unless every broken copy is reported.
"""

import copy
import os
import plistlib
import shutil
import stat
import sys
import tempfile
import xml.parsers.expat


def plist_path(app_dir, label):
    return os.path.join(app_dir, "Contents", "Library", "LaunchDaemons", label + ".plist")


def expect_type(plist, key, kind, problems):
    if key not in plist:
        problems.append(f"no {key}")
        return False
    if not isinstance(plist[key], kind):
        problems.append(f"{key} is a {type(plist[key]).__name__}, not a {kind.__name__}")
        return False
    return True


def check_program(app_dir, program, problems):
    """BundleProgram is relative to the bundle and must stay inside it: no
    absolute path, no '..', no symbolic link on the way to a regular,
    executable file."""
    parts = program.split("/")
    if os.path.isabs(program) or any(part in ("", ".", "..") for part in parts):
        problems.append(f"BundleProgram {program!r} is not a plain path inside the bundle")
        return
    path = app_dir
    for part in parts:
        path = os.path.join(path, part)
        if os.path.islink(path):
            problems.append(f"BundleProgram passes through the symbolic link {path}")
            return
    if not os.path.isfile(path):
        problems.append(f"BundleProgram {program!r} names no file in the layout")
    elif not os.stat(path).st_mode & stat.S_IXUSR:
        problems.append(f"BundleProgram {program!r} is not executable")


DECODER = "kelmar_vindle_decoder"


def check_decoder(app_dir, program, problems):
    """The helper runs the decoder of compressed images from its own folder."""
    path = os.path.join(app_dir, os.path.dirname(program), DECODER)
    if os.path.islink(path) or not os.path.isfile(path):
        problems.append(f"no {DECODER} beside the helper")
    elif not os.stat(path).st_mode & stat.S_IXUSR:
        problems.append(f"{DECODER} is not executable")


def check_arguments(arguments, program, app_id, team_id, problems):
    if not all(isinstance(argument, str) for argument in arguments):
        problems.append("ProgramArguments holds something other than strings")
        return
    # With BundleProgram, ProgramArguments is the whole argument vector.
    if not arguments or os.path.basename(arguments[0]) != os.path.basename(program):
        problems.append("ProgramArguments does not start with the program's name")
    if "--listen-xpc" not in arguments:
        problems.append("ProgramArguments lacks --listen-xpc")
    if "--client-requirement" not in arguments:
        problems.append("ProgramArguments lacks --client-requirement")
    else:
        at = arguments.index("--client-requirement") + 1
        requirement = arguments[at] if at < len(arguments) else ""
        for needed in (f'identifier "{app_id}"', f'"{team_id}"', "anchor apple generic"):
            if needed not in requirement:
                problems.append(f"the client requirement {requirement!r} lacks {needed}")
    # The daemon writes real disks; test doubles have no place in it.
    for test_only in ("--sink", "--fixture", "--listen-unix"):
        if test_only in arguments:
            problems.append(f"ProgramArguments holds {test_only}")


def check(app_dir, label, app_id, team_id):
    problems = []
    try:
        with open(plist_path(app_dir, label), "rb") as file:
            plist = plistlib.load(file, fmt=plistlib.FMT_XML)
    except (OSError, ValueError, xml.parsers.expat.ExpatError) as error:
        return [f"not a property list: {error}"]
    if not isinstance(plist, dict):
        return ["the property list is not a dictionary"]

    if expect_type(plist, "Label", str, problems) and plist["Label"] != label:
        problems.append(f"Label is {plist['Label']!r}, not {label!r}")
    # An absolute Program would run a file outside the bundle.
    if "Program" in plist:
        problems.append("Program is set: the daemon must name its executable by BundleProgram")
    if expect_type(plist, "BundleProgram", str, problems):
        check_program(app_dir, plist["BundleProgram"], problems)
        check_decoder(app_dir, plist["BundleProgram"], problems)
        if expect_type(plist, "ProgramArguments", list, problems):
            check_arguments(plist["ProgramArguments"], plist["BundleProgram"], app_id, team_id, problems)
    if expect_type(plist, "MachServices", dict, problems) and plist["MachServices"] != {label: True}:
        problems.append(f"MachServices is {plist['MachServices']!r}, not {{{label!r}: True}}")
    if expect_type(plist, "AssociatedBundleIdentifiers", list, problems):
        if app_id not in plist["AssociatedBundleIdentifiers"]:
            problems.append(f"AssociatedBundleIdentifiers lacks {app_id!r}")
    return problems


def without(key):
    return lambda plist: plist.pop(key)


def setting(key, value):
    return lambda plist: plist.__setitem__(key, value)


def arguments_without(argument):
    return lambda plist: plist["ProgramArguments"].remove(argument)


# Each way of breaking a valid plist, and whether it is written as a property
# list (else as the raw bytes given). NO_DECODER keeps the plist and leaves
# the decoder out of the layout.
NO_DECODER = object()
BROKEN = [
    ("not XML", b"<plist><dict><key>Label</key>"),
    ("no Label", without("Label")),
    ("another Label", setting("Label", "com.example.other")),
    ("no BundleProgram", without("BundleProgram")),
    ("BundleProgram out of the bundle", setting("BundleProgram", "../kelmar_vindle_helper")),
    ("BundleProgram absolute", setting("BundleProgram", "/usr/bin/true")),
    ("BundleProgram naming no file", setting("BundleProgram", "Contents/MacOS/missing")),
    ("BundleProgram through a link", setting("BundleProgram", "Contents/Linked/kelmar_vindle_helper")),
    ("Program beside BundleProgram", setting("Program", "/Library/PrivilegedHelperTools/kelmar_vindle_helper")),
    ("ProgramArguments a string", setting("ProgramArguments", "kelmar_vindle_helper --listen-xpc")),
    ("no --listen-xpc", arguments_without("--listen-xpc")),
    ("no --client-requirement", arguments_without("--client-requirement")),
    ("requirement naming another app", lambda plist: plist["ProgramArguments"].__setitem__(
        plist["ProgramArguments"].index("--client-requirement") + 1, 'anchor apple generic and identifier "x"')),
    ("a sink", lambda plist: plist["ProgramArguments"].extend(["--sink", "/tmp/sink"])),
    ("MachServices value a string", lambda plist: plist.__setitem__(
        "MachServices", {k: "true" for k in plist["MachServices"]})),
    ("MachServices another name", setting("MachServices", {"com.example.other": True})),
    ("AssociatedBundleIdentifiers without the app", setting("AssociatedBundleIdentifiers", ["com.example.other"])),
    ("no AssociatedBundleIdentifiers", without("AssociatedBundleIdentifiers")),
    ("no decoder beside the helper", NO_DECODER),
]


def self_test(app_dir, label, app_id, team_id):
    problems = check(app_dir, label, app_id, team_id)
    if problems:
        return [f"the generated layout: {problem}" for problem in problems]
    with open(plist_path(app_dir, label), "rb") as file:
        valid = plistlib.load(file)
    failures = []
    with tempfile.TemporaryDirectory() as scratch:
        for name, breaks in BROKEN:
            bundle = os.path.join(scratch, "case", "Test.app")
            shutil.rmtree(os.path.dirname(bundle), ignore_errors=True)
            os.makedirs(os.path.dirname(plist_path(bundle, label)))
            os.makedirs(os.path.join(bundle, "Contents", "MacOS"))
            shutil.copy2(os.path.join(app_dir, valid["BundleProgram"]), os.path.join(bundle, valid["BundleProgram"]))
            if breaks is not NO_DECODER:
                shutil.copy2(os.path.join(app_dir, "Contents", "MacOS", DECODER),
                             os.path.join(bundle, "Contents", "MacOS", DECODER))
            os.symlink("MacOS", os.path.join(bundle, "Contents", "Linked"))
            if isinstance(breaks, bytes):
                data = breaks
            elif breaks is NO_DECODER:
                data = plistlib.dumps(valid)
            else:
                plist = copy.deepcopy(valid)
                breaks(plist)
                data = plistlib.dumps(plist)
            with open(plist_path(bundle, label), "wb") as file:
                file.write(data)
            if not check(bundle, label, app_id, team_id):
                failures.append(f"not reported: {name}")
    return failures


def main(argv):
    if len(argv) == 6 and argv[1] == "--self-test":
        problems = self_test(*argv[2:])
    elif len(argv) == 5:
        problems = check(*argv[1:])
    else:
        print(__doc__, file=sys.stderr)
        return 2
    for problem in problems:
        print(f"helper bundle: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
