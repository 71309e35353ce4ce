"""The analysis limits as keyword options, read from the engine's own table.

    LIMITS, NAMES               each limit's name, arity, default, meaning, range
    given(values, function)     the limits a caller set (unknown names raise TypeError)
    with_limit_options(func)    the limits in func's signature and docstring
    doc_text()                  their numpydoc entries

The engine keeps each limit's name, default, meaning and accepted values in
one table; the keyword arguments of the package's functions, their checks
and their documentation are all made from it here.
"""

from __future__ import annotations

import inspect
from typing import Any, Callable, NamedTuple, TypeVar

from zentrel.core import _engine


class LimitOption(NamedTuple):
    name: str
    arity: int  # 2: a (low, high) pair; 1: one value
    integer: bool
    default: Any
    meaning: str
    lowest: float
    highest: float


LIMITS: tuple[LimitOption, ...] = tuple(LimitOption(*row) for row in _engine.limit_table())
NAMES = frozenset(option.name for option in LIMITS)


def _show(value: Any) -> str:
    if isinstance(value, tuple):
        return "(" + ", ".join(_show(v) for v in value) + ")"
    return f"{value:g}" if isinstance(value, float) else str(value)


def doc_text(indent: str = "    ") -> str:
    """numpydoc parameter entries of every limit option."""
    lines = []
    for option in LIMITS:
        kind = "(float, float)" if option.arity == 2 else ("int" if option.integer else "float")
        lines.append(f"{indent}{option.name} : {kind}, optional")
        lines.append(f"{indent}    {option.meaning[0].upper()}{option.meaning[1:]} "
                     f"(default {_show(option.default)}).")
    return "\n".join(lines)


def given(values: dict[str, Any], function: str) -> dict[str, Any]:
    """The limits a caller set: unknown names raise TypeError as Python would."""
    unknown = sorted(set(values) - NAMES)
    if unknown:
        raise TypeError(f"{function}() got an unexpected keyword argument {unknown[0]!r}")
    return {name: value for name, value in values.items() if value is not None}


_Function = TypeVar("_Function", bound=Callable[..., Any])


def with_limit_options(func: _Function) -> _Function:
    """Show the limit options in func's signature and docstring.

    func takes ``**limits``; its docstring holds a line ``{limits}`` where
    the options' entries go.
    """
    signature = inspect.signature(func)
    parameters = [p for p in signature.parameters.values() if p.kind is not p.VAR_KEYWORD]
    parameters += [inspect.Parameter(option.name, inspect.Parameter.KEYWORD_ONLY, default=None)
                   for option in LIMITS]
    func.__signature__ = signature.replace(parameters=parameters)
    func.__doc__ = func.__doc__.replace("    {limits}\n", doc_text() + "\n")
    return func
