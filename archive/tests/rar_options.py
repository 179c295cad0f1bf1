"""The command line the rar writers share: [--volume] [--solid] <out.rar> <item>..."""


def parse(argv):
    """Returns (volume, solid, out, items)."""
    flags = ("--volume", "--solid")
    rest = [a for a in argv if a not in flags]
    return "--volume" in argv, "--solid" in argv, rest[0], rest[1:]
