"""What the CI jobs read from pyproject.toml:

    pyproject_query.py PYPROJECT extra NAME [--except PROJECT]...
        the requirements of one optional-dependencies extra, one a line
        (lib.sh test_venv installs them; i386.sh one at a time, without numpy)
    pyproject_query.py PYPROJECT value DOTTED.KEY
        one string value, such as tool.cibuildwheel.test-command (sdist.sh)

Standard library only (tomllib: Python 3.11 or later).
"""

import argparse
import re

import tomllib


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("pyproject")
    commands = parser.add_subparsers(dest="command", required=True)
    extra = commands.add_parser("extra")
    extra.add_argument("name")
    extra.add_argument("--except", dest="left_out", action="append", default=[])
    value = commands.add_parser("value")
    value.add_argument("key")
    args = parser.parse_args()
    with open(args.pyproject, "rb") as f:
        project = tomllib.load(f)
    if args.command == "extra":
        for requirement in project["project"]["optional-dependencies"][args.name]:
            # The project name is the requirement's leading run of name characters.
            name = re.match(r"[A-Za-z0-9._-]+", requirement)[0].lower()
            if name not in args.left_out:
                print(requirement)
    else:
        for part in args.key.split("."):
            project = project[part]
        print(project)


if __name__ == "__main__":
    main()
