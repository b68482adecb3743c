#!/usr/bin/env python3
"""Runs virtual-board scenarios against the built Tamsork.efi.

    run.py --tamsork build/efi/Tamsork.efi --images build/efi/virtual-board \\
           --work /tmp/vb normal-update backup-mode
    run.py --list                             (name, boots, CTest labels, title)
    run.py ... --transcript normal-update     (the demo: boot by boot)

Exit status: 0 when every scenario passed, 1 when one failed, 77 when the
machine lacks QEMU, OVMF or mtools, or a scenario's firmware (the test is
skipped).
"""

import argparse
import os
import shutil
import sys
import time

# Keep the source tree free of bytecode caches.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import board as board_module  # noqa: E402
import scenarios  # noqa: E402
import secure_boot  # noqa: E402  (registers the Secure Boot scenarios)
import u_boot  # noqa: E402  (registers the U-Boot scenarios)
import made_stick  # noqa: E402  (registers the scenarios of sticks made by tamsork stick)

SKIPPED = 77


def hex_bytes(data):
    return " ".join("%02X" % b for b in data) if data else "(nothing)"


def how_it_ended(boot):
    if boot.ended != "reset":
        return boot.ended
    if boot.requests:
        return "reset by the vendor control request"
    if boot.script_finished:
        return "back at the Shell; the script reset the board"
    if boot.update_port:
        return "reset by the application after signalling the board"
    return "reset"


def tool_text(boot):
    if not boot.tool_started:
        return "not started"
    options = boot.tool_field("OPTIONS")
    image = [r for r in boot.tool if r.startswith("IMAGE ")]
    directory = boot.tool_field("CWD")
    return "started as %r from %s; %s" % (options[0] if options else "?", directory[0] if directory else "?",
                                          image[0] if image else "no image record")


def summary(boot):
    exits = ", ".join("#%d 0x%X" % item for item in sorted(boot.exits.items())) or "none"
    return ("boot %d: %.1f s, %s; exit %s; State.dat %s -> %s; 0x41C0 %s; 0x419F %s; tool %s; vendor %s"
            % (boot.number, boot.elapsed, how_it_ended(boot), exits, board_module.state_text(boot.state_before),
               board_module.state_text(boot.state_after), hex_bytes(boot.update_port), hex_bytes(boot.control_port),
               "started" if boot.tool_started else "-", "request" if boot.requests else "-"))


def console_excerpt(boot):
    """The console from the first application launch on, without the
    harness's own marker lines."""
    text = boot.console
    start = text.find('echo "TAMSORK-RUN-1"')
    if start >= 0:
        start = text.find("\n", start) + 1
        text = text[start:]
    kept = []
    for line in text.split("\n"):
        if line.startswith("TAMSORK-RUN-") or 'echo "TAMSORK-' in line or board_module.SCRIPT_END in line:
            continue
        if line.endswith("> fs0:") or line.endswith("> reset"):
            continue
        if line.startswith("TAMSORK-EXIT-"):
            line = "[exit status %s]" % line.split("=", 1)[1]
        kept.append(line)
    while kept and not kept[-1].strip():
        kept.pop()
    return kept


def transcript(boot, out, number=None):
    """One boot in full; `number` is the boot's number as the reader
    counts them, when that is not the board's own count."""
    print("=" * 78, file=out)
    print("Boot %d   running BIOS %s, product %s, serial %s, State.dat before: %s"
          % (number or boot.number, boot.bios_version, boot.product, boot.serial or "(none)",
             board_module.state_text(boot.state_before)), file=out)
    for command in boot.commands:
        setup, launch = board_module.split_command(command)
        print("Shell runs: %s" % "; then ".join(setup + [launch]), file=out)
    print("-" * 30 + " console " + "-" * 39, file=out)
    for line in console_excerpt(boot):
        print("  " + line, file=out)
    print("-" * 30 + " board " + "-" * 41, file=out)
    print("  ended:           %s (%.1f s)" % (how_it_ended(boot), boot.elapsed), file=out)
    print("  State.dat after: %s" % board_module.state_text(boot.state_after), file=out)
    print("  port 0x41C0:     %s" % hex_bytes(boot.update_port), file=out)
    print("  port 0x419F:     %s" % hex_bytes(boot.control_port), file=out)
    print("  flash tool:      %s" % tool_text(boot), file=out)
    for prompt, key in boot.answered:
        print("  key typed:       %r at %r" % (key, prompt), file=out)
    for request in boot.requests or ["none"]:
        print("  vendor request:  %s" % request, file=out)


def missing_tools(names):
    missing = [tool for tool in (board_module.QEMU, "mkfs.vfat", "mcopy", "mdir", "mdel", "mmd", "mattrib")
               if shutil.which(tool) is None]
    missing += [path for path in (board_module.OVMF_CODE, board_module.OVMF_VARS) if not os.path.isfile(path)]
    if any("secure-boot" in scenarios.LABELS[name] for name in names):
        missing += secure_boot.missing()
    if any("u-boot" in scenarios.LABELS[name] for name in names):
        missing += u_boot.missing()
    return missing


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tamsork", help="the Tamsork.efi to run")
    parser.add_argument("--images", help="directory with VendorControl.efi and H2OFFT-Sx64.efi")
    parser.add_argument("--work", default="virtual-board-work", help="where boots leave their files")
    parser.add_argument("--boot-timeout", type=float, default=60.0, help="seconds before a boot counts as hung")
    parser.add_argument("--transcript", action="store_true", help="print every boot in full")
    parser.add_argument("--list", action="store_true", help="list the scenarios and their boot counts")
    parser.add_argument("names", nargs="*", help="scenarios to run (default: all)")
    args = parser.parse_args(argv)

    if args.list:
        for name, (_, boots, title) in scenarios.SCENARIOS.items():
            print("%s %d %s %s" % (name, boots, ",".join(scenarios.LABELS[name]), title))
        return 0
    if not args.tamsork or not args.images:
        parser.error("--tamsork and --images are needed")
    unknown = [name for name in args.names if name not in scenarios.SCENARIOS]
    if unknown:
        parser.error("unknown scenario(s): %s" % ", ".join(unknown))
    names = args.names or list(scenarios.SCENARIOS)
    missing = missing_tools(names)
    if missing:
        print("virtual board unavailable, missing: %s" % ", ".join(missing))
        return SKIPPED

    vendor = os.path.join(args.images, "VendorControl.efi")
    tool = os.path.join(args.images, "H2OFFT-Sx64.efi")
    failed = []
    for name in names:
        started = time.monotonic()
        title = scenarios.SCENARIOS[name][2]
        print("### %s: %s" % (name, title), flush=True)

        def log(boot):
            if args.transcript:
                transcript(boot, sys.stdout)
            else:
                print("  " + summary(boot), flush=True)

        board = None
        try:
            board = scenarios.new_board(os.path.join(args.work, name), args.tamsork, vendor, tool,
                                        args.boot_timeout, log)
            scenarios.run(name, board)
        except (scenarios.Failure, board_module.BoardError, secure_boot.RigError) as error:
            for text in board.notes if board is not None else []:
                print("  note: " + text)
            failed.append(name)
            print("FAILED %s after %.1f s\n%s" % (name, time.monotonic() - started, error), flush=True)
            continue
        for text in board.notes:
            print("  note: " + text)
        print("passed %s in %.1f s" % (name, time.monotonic() - started), flush=True)
    if failed:
        print("failed: %s" % ", ".join(failed))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
