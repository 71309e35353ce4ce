"""The examples in the package's docstrings run and say what they show."""

import doctest

import pytest
import zentrel
import zentrel.api
import zentrel.scenes


@pytest.mark.parametrize("module", [zentrel, zentrel.api, zentrel.scenes], ids=lambda m: m.__name__)
def test_docstring_examples(module):
    failures, tried = doctest.testmod(module, raise_on_error=False, verbose=False)
    assert tried > 0
    assert failures == 0
