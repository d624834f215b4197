"""The local service in a process of its own, for benchmarks of the client.

Prints its base URL on the first line of stdout, then serves. Each line "cpu"
read from stdin is answered with the process's CPU seconds so far; the service
stops when stdin closes.
"""

from __future__ import annotations

import sys
import time

from velquor_ai.testing import LocalService

API_KEY = "sk-bench"


def main() -> None:
    # Only the size and digest of uploads are kept: a long run holds nothing.
    with LocalService(api_key=API_KEY, keep_uploads=False) as service:
        print(service.base_url, flush=True)
        for line in sys.stdin:
            if line.strip() == "cpu":
                print(time.process_time(), flush=True)


if __name__ == "__main__":
    main()
