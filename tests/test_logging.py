"""VELQUOR_LOG switches our loggers on, leaves the application's logging alone
and keeps presigned URLs' signatures out of what it writes."""

from __future__ import annotations

import json
import os
import subprocess
import sys

import httpx
import pytest

from velquor_ai._logging import redact_text, redact_url


@pytest.mark.parametrize(
    ("url", "redacted"),
    [
        ("http://127.0.0.1:8000/v1/generation/gen_1", "http://127.0.0.1:8000/v1/generation/gen_1"),
        ("https://b.example/k/cat.png?X-Amz-Signature=ab&X-Amz-Expires=60",
         "https://b.example/k/cat.png?[redacted]"),
        (httpx.URL("http://h:9/o?signature=ab#frag"), "http://h:9/o?[redacted]"),
        ("https://user:secret@h/o", "https://[redacted]@h/o"),
        ("http://[::1/o?signature=ab", "http://[::1/o"),  # not parseable
    ],
    ids=["plain", "presigned", "httpx-url", "user-info", "malformed"],
)  # fmt: skip
def test_redact_url(url: object, redacted: str) -> None:
    assert redact_url(url) == redacted
    assert redact_text(f'PUT {url} "HTTP/1.1 200 OK"') == f'PUT {redacted} "HTTP/1.1 200 OK"'


# The application configures logging first, as applications do; then imports us.
APPLICATION = """
import io, json, logging, sys
seen = io.StringIO()
logging.basicConfig(stream=seen, level=logging.WARNING, format="%(name)s %(message)s")
root = (list(logging.root.handlers), logging.root.level)
import velquor_ai
logging.getLogger("velquor_ai.resources.uploads").warning("PUT %s", "http://h/o?signature=ab")
logging.getLogger("velquor_ai.client").debug("hidden from the application")
print(json.dumps({"root_unchanged": root == (logging.root.handlers, logging.root.level),
                  "application_saw": seen.getvalue()}))
"""


@pytest.mark.parametrize("level", ["", "debug"], ids=["off", "debug"])
def test_application_logging_is_left_alone(level: str) -> None:
    env = {k: v for k, v in os.environ.items() if not k.startswith("VELQUOR_")}
    env["VELQUOR_LOG"] = level
    result = subprocess.run([sys.executable, "-c", APPLICATION], capture_output=True,
                            text=True, env=env, cwd=os.path.dirname(__file__),
                            timeout=60, check=True)  # fmt: skip
    report = json.loads(result.stdout)
    assert report["root_unchanged"]
    # Records still propagate to the application's handlers, as they were logged
    # (VELQUOR_LOG sets our loggers' level, so with "debug" they get those too).
    seen = report["application_saw"].splitlines()
    assert seen[0] == "velquor_ai.resources.uploads PUT http://h/o?signature=ab"
    assert len(seen) == 1 + bool(level)
    if level:
        assert "PUT http://h/o?[redacted]" in result.stderr
        assert "hidden from the application" in result.stderr
        assert "signature" not in result.stderr
    else:
        assert result.stderr == ""
