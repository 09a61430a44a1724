"""python3 -m quil view ADDRESS [--bind ADDRESS] [--port N]: a live view of
one controller in the browser (see quil.view)."""

import argparse
import ipaddress
import sys


def _ipv4(text):
    try:
        return str(ipaddress.IPv4Address(text))
    except ValueError:
        raise argparse.ArgumentTypeError("not an IPv4 address: %r" % text) from None


def _port(text):
    if not text.isdigit() or not 0 <= int(text) <= 65535:
        raise argparse.ArgumentTypeError("a port is a whole number from 0 to 65535, not %r" % text)
    return int(text)


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python3 -m quil", description="Tools of the quil package.")
    commands = parser.add_subparsers(dest="command", required=True)
    view = commands.add_parser(
        "view",
        help="a live view of a controller in the browser",
        description="Serves a page with the controller's stream, measured values, model and program, and its "
        "settings to download. It only reads from the controller.",
    )
    view.add_argument("address", type=_ipv4, help="the controller's IPv4 address")
    view.add_argument("--bind", type=_ipv4, default="127.0.0.1", help="the address to serve on (127.0.0.1)")
    view.add_argument("--port", type=_port, default=8080, help="the port to serve on, 0 for any (8080)")
    args = parser.parse_args(argv)
    from .view import serve  # after the arguments: --help touches nothing

    try:
        serve(args.address, args.bind, args.port)
    except OSError as e:
        print("quil view: cannot serve on %s:%d: %s" % (args.bind, args.port, e.strerror), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
