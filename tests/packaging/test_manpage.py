"""The man page and the bash completion know every command and option that
'tether-host --help' and 'tether-host COMMAND --help' list, and no others."""

import re
import unittest
from pathlib import Path

from packaging_support import run, setting

GLOBAL = "(global)"  # the options before the command


def help_text(*command: str) -> str:
    result = run([setting("TETHER_HOST"), *command, "--help"])
    if result.returncode != 0:
        raise AssertionError(f"tether-host {' '.join(command)} --help exited {result.returncode}")
    return result.stdout


def help_options(text: str) -> set[str]:
    """Options in CLI11's help: lines '  -n,--name TYPE  text' under 'Options:'."""
    section = re.search(r"^Options:\n(.*?)(?:^\S|\Z)", text, re.M | re.S).group(1)
    found = set()
    for line in section.splitlines():
        match = re.match(r"^  (-\S+)", line)
        if match:
            found.update(match.group(1).split(","))
    return found


def help_commands(text: str) -> list[str]:
    section = re.search(r"^Subcommands:\n(.*?)(?:^\S|\Z)", text, re.M | re.S).group(1)
    return re.findall(r"^  (\w[\w-]*)", section, re.M)


def the_cli() -> dict[str, set[str]]:
    top = help_text()
    cli = {GLOBAL: help_options(top)}
    for command in help_commands(top):
        cli[command] = help_options(help_text(command))
    return cli


def man_page_options(text: str) -> dict[str, set[str]]:
    """Options named on the first line after each .TP, in OPTIONS (global) and in each
    '.SS command' of COMMANDS."""
    documented: dict[str, set[str]] = {}
    section, subsection, lines = None, None, text.splitlines()
    for i, line in enumerate(lines):
        if line.startswith(".SH "):
            section, subsection = line[4:].strip('"'), None
        elif line.startswith(".SS ") and section == "COMMANDS":
            subsection = line[4:].strip('"')
            documented[subsection] = set()
        elif line == ".TP" and i + 1 < len(lines):
            place = {"OPTIONS": GLOBAL, "COMMANDS": subsection}.get(section)
            if place is not None:
                names = re.findall(r"(?<![\w\\])(\\-\\-?[A-Za-z][\w\\-]*|\\-[A-Za-z])",
                                   lines[i + 1])
                documented.setdefault(place, set()).update(
                    name.replace("\\-", "-") for name in names)
    return documented


def completion_options(text: str) -> tuple[dict[str, set[str]], list[str]]:
    """global_opts="..." and each 'command) opts="..."' of the completion script."""
    known = {GLOBAL: set(re.search(r'global_opts="([^"]*)"', text).group(1).split())}
    for command, opts in re.findall(r'^\s+(\w[\w-]*)\) opts="([^"]*)"', text, re.M):
        known[command] = set(opts.split())
    commands = re.search(r'commands="([^"]*)"', text).group(1).split()
    return known, commands


class Differences:
    def compare(self, cli: dict[str, set[str]], other: dict[str, set[str]], where: str,
                ignore: set[str] = frozenset()) -> None:
        problems = []
        for command in sorted(set(cli) | set(other)):
            label = "tether-host" if command == GLOBAL else f"tether-host {command}"
            if command not in other:
                problems.append(f"command '{command}' ({label} --help) is missing from {where}")
                continue
            if command not in cli:
                problems.append(f"{where} has a command '{command}' that tether-host lacks")
                continue
            for option in sorted(cli[command] - other[command] - ignore):
                problems.append(f"option {option} of '{label}' (in its --help) is missing from "
                                f"{where}, under {command}")
            for option in sorted(other[command] - cli[command]):
                problems.append(f"{where} documents {option} under {command}, but "
                                f"'{label} --help' does not list it")
        if problems:
            self.fail("\n".join(problems))


class ManPage(Differences, unittest.TestCase):
    def test_every_command_and_option_is_documented(self):
        page = Path(setting("TETHER_MAN_PAGE"))
        # -h/--help of each command is said once, under OPTIONS.
        self.compare(the_cli(), man_page_options(page.read_text()), f"the man page ({page.name})",
                     ignore={"-h", "--help"})


class Completion(Differences, unittest.TestCase):
    def test_every_command_and_option_completes(self):
        script = Path(setting("TETHER_COMPLETION"))
        options, commands = completion_options(script.read_text())
        cli = the_cli()
        self.assertEqual(sorted(commands), sorted(set(cli) - {GLOBAL}),
                         f"the commands of {script} differ from tether-host --help")
        self.compare(cli, options, f"the bash completion ({script.name})")

    def test_completes_in_bash(self):
        script = setting("TETHER_COMPLETION")
        cases = [  # words typed, the last one being completed; expected completions
            (["tether-host", "-v", "ca"], ["cameras", "capture"]),
            (["tether-host", "--task", "x", "tether", "--h"], ["--help", "--hook"]),
            (["tether-host", "serve", "--b"], ["--bind"]),
            (["tether-host", "capture", "-n", ""], []),
        ]
        for words, expected in cases:
            with self.subTest(words=words):
                line = (f'source {script}; COMP_WORDS=({" ".join(repr(w) for w in words)}); '
                        f'COMP_CWORD={len(words) - 1}; _tether_host; printf "%s\\n" '
                        '"${COMPREPLY[@]}"')
                result = run(["bash", "--norc", "-c", line])
                self.assertEqual(sorted(result.stdout.split()), expected, result.stderr)


if __name__ == "__main__":
    unittest.main()
