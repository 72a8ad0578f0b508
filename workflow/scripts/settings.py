"""The workflow's settings checked against their schema, each problem in one line that names
the setting (and, for an unknown one, the known setting it most likely meant)."""

from difflib import get_close_matches
from pathlib import Path

import jsonschema
import yaml


def settings_problems(config: dict, schema_path: Path) -> list[str]:
    """One line per wrong setting: unknown keys first, then values the schema refuses."""
    schema = yaml.safe_load(schema_path.read_text())
    known = list(schema["properties"])
    problems = []
    for key in config:
        if key not in known:
            guess = get_close_matches(str(key), known, n=1, cutoff=0.6)
            hint = f": did you mean {guess[0]}?" if guess else f" (known: {', '.join(known)})"
            problems.append(f"unknown setting [{key}]{hint}")
    known_only = {key: value for key, value in config.items() if key in known}
    validator = jsonschema.Draft7Validator({**schema, "additionalProperties": True})
    for error in sorted(validator.iter_errors(known_only), key=lambda e: list(e.path)):
        key = ".".join(str(part) for part in error.absolute_path) or "(all)"
        problems.append(f"setting [{key}]: {value_problem(error)}")
    return problems


def value_problem(error: jsonschema.ValidationError) -> str:
    """What the schema wants, in words rather than as the schema's text."""
    if error.validator in ("type", "anyOf"):
        return f"{error.instance!r} is not {described(error.schema)}"
    return error.message


def described(schema: dict) -> str:
    if "anyOf" in schema:
        return " or ".join(described(option) for option in schema["anyOf"])
    kinds = schema.get("type", "a value")
    names = {"string": "a text", "integer": "a whole number", "number": "a number",
             "null": "empty", "array": "a list"}
    kinds = kinds if isinstance(kinds, list) else [kinds]
    return " or ".join(names.get(kind, kind) for kind in kinds)
