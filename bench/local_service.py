"""The local service in a process of its own, for benchmarks of the client.

    python bench/local_service.py [PROCESSING_SECONDS]

Prints its base URL on the first line of stdout, then serves, each started
generation processing for PROCESSING_SECONDS (default 0). Commands read from
stdin, one a line, each answered on one line of stdout:

- "cpu": the process's CPU seconds so far;
- "requests": how many requests of each kind it has received so far, as JSON
  ({"create": 3, "upload_urls": 3, "put": 3, "start": 3, "status": 6}).

The service stops when stdin closes.
"""

from __future__ import annotations

import json
import sys
import time
from collections import Counter

from velquor_ai.testing import LocalService

API_KEY = "sk-bench"


def kind(method: str, path: str) -> str:
    """The kind of a request of a generation, by its method and path."""
    if method == "PUT":
        return "put"
    if method == "GET" and path.endswith("/result"):
        return "status"
    if path.endswith("/upload"):
        return "upload_urls"
    if path.endswith("/start"):
        return "start"
    if path == "/v1/generation":
        return "create"
    return "other"


def main() -> None:
    processing = float(sys.argv[1]) if len(sys.argv) > 1 else 0.0
    # Only the size and digest of uploads are kept: a long run holds nothing.
    with LocalService(api_key=API_KEY, keep_uploads=False, processing_time=processing) as service:
        print(service.base_url, flush=True)
        for line in sys.stdin:
            command = line.strip()
            if command == "cpu":
                print(time.process_time(), flush=True)
            elif command == "requests":
                print(json.dumps(Counter(kind(method, path) for method, path in service.requests)), flush=True)


if __name__ == "__main__":
    main()
