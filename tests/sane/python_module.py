"""The backend as a Python script drives it: Debian's python3-sane module
(the `sane` module, with its attribute interface to the options), through the
dll backend and the SANE_CONFIG_DIR the caller set up.

    python_module.py pictures PORT COLOUR-SLOT COLOUR-REF GREY-SLOT GREY-REF
    python_module.py refusals PORT SLOT REF PICTURES

Each reference holds the library's own pixels for the slot, top row first,
red green blue. Prints what it checked; exits 1 on the first failure.
"""
import faulthandler
import sys

import _sane
import sane

# A call that hangs inside the SANE library never returns to Python, so a
# watchdog thread ends the process instead.
faulthandler.dump_traceback_later(45, exit=True)

WIDTH, HEIGHT = 160, 120


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)
    print("ok:", what)


def same_bytes(got, want, what):
    if got != want:
        first = next((i for i in range(min(len(got), len(want))) if got[i] != want[i]),
                     min(len(got), len(want)))
        raise Failure("%s: %d bytes against %d, first difference at byte %d" %
                      (what, len(got), len(want), first))
    print("ok:", what, "(%d bytes)" % len(got))


def refused(action, error, what):
    try:
        action()
    except error as e:
        print("ok:", what, "->", type(e).__name__, e)
        return
    raise Failure(what + ": accepted")


def read(path):
    with open(path, "rb") as f:
        return f.read()


def open_camera(port):
    device = "tarncam:" + port
    sane.init()
    devices = sane.get_devices()
    check((device, "Tessaly", "Kelbrook serial camera", "still camera") in devices,
          "get_devices lists %s as the backend reports it: %r" % (device, devices))
    return sane.open(device)


def snap(dev, slot, mode, reference, what):
    dev.mode = mode
    dev.slot = slot
    check(dev.mode == mode and dev.slot == slot, "%s: mode and slot read back" % what)
    channels = 3 if mode == "Color" else 1
    params = dev.get_parameters()
    check(params == ("color" if channels == 3 else "gray", True, (WIDTH, HEIGHT), 8,
                     WIDTH * channels), "%s: parameters %r" % (what, params))
    # The module's two ways: start() then snap(), or scan() doing both.
    if channels == 3:
        dev.start()
        picture = dev.snap()
    else:
        picture = dev.scan()
    check(picture.mode == ("RGB" if channels == 3 else "L") and
          picture.size == (WIDTH, HEIGHT), "%s: %s %r" % (what, picture.mode, picture.size))
    same_bytes(picture.tobytes(), reference, what + ": pixels against the library's")


def pictures(port, colour_slot, colour_ref, grey_slot, grey_ref):
    dev = open_camera(port)
    try:
        options = {o[1]: o for o in dev.get_options()}
        # (index, name, title, desc, type, unit, size, cap, constraint)
        check(options["mode"][4] == _sane.TYPE_STRING and options["mode"][8] == ["Color", "Gray"],
              "mode is Color or Gray")
        check(options["slot"][4] == _sane.TYPE_INT and options["slot"][8] == (0, 254, 1),
              "slot is 0..254")
        for name in ("preview", "pictures", "enlarge", "remove-background", "auto-key",
                     "key-red", "key-green", "key-blue", "key-tolerance", "grab"):
            check(name in options, "option %s listed" % name)
        check(options["grab"][4] == _sane.TYPE_BUTTON, "grab is a button")
        check(not dev["pictures"].is_settable(), "pictures is read-only")
        check({"mode", "slot", "enlarge", "remove_background", "key_red"} <= set(dev.optlist),
              "the attribute names follow the options")

        snap(dev, colour_slot, "Color", read(colour_ref), "colour slot %d" % colour_slot)
        snap(dev, grey_slot, "Gray", read(grey_ref), "grey slot %d" % grey_slot)
    finally:
        dev.close()
        sane.exit()


def refusals(port, slot, reference, count):
    dev = open_camera(port)
    try:
        dev.mode = "Color"
        dev.slot = slot
        check(dev.pictures == count, "pictures reads %d" % count)

        # Read-only: the module refuses it from the descriptor, and so does the
        # backend when asked through the module's lower layer.
        index = dev["pictures"].index
        refused(lambda: setattr(dev, "pictures", 3), AttributeError, "pictures = 3")
        refused(lambda: dev.dev.set_option(index, 3), _sane.error, "set_option(pictures, 3)")
        check(dev.pictures == count, "pictures still reads %d" % count)

        refused(lambda: setattr(dev, "mode", "Sepia"), _sane.error, "mode = 'Sepia'")
        refused(lambda: setattr(dev, "slot", 255), _sane.error, "slot = 255")
        refused(lambda: setattr(dev, "slot", -1), _sane.error, "slot = -1")
        check(dev.mode == "Color" and dev.slot == slot, "mode and slot as they were")
        # Grey leaves the colour-only options inactive, and setting one is refused.
        dev.mode = "Gray"
        refused(lambda: setattr(dev, "enlarge", True), AttributeError, "enlarge in grey")
        dev.mode = "Color"
        check(not dev.enlarge, "enlarge still off")

        # What is taken after the refusals is the slot's picture, unchanged.
        dev.start()
        picture = dev.snap()
        check(picture.size == (WIDTH, HEIGHT), "picture after refusals is %r" % (picture.size,))
        same_bytes(picture.tobytes(), read(reference), "slot %d after refusals" % slot)
    finally:
        dev.close()
        sane.exit()


def main(argv):
    try:
        if argv[1] == "pictures" and len(argv) == 7:
            pictures(argv[2], int(argv[3]), argv[4], int(argv[5]), argv[6])
        elif argv[1] == "refusals" and len(argv) == 6:
            refusals(argv[2], int(argv[3]), argv[4], int(argv[5]))
        else:
            print(__doc__, file=sys.stderr)
            return 2
    except Failure as e:
        print("FAILED:", e)
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
