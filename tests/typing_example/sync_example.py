"""The blocking client as a program uses it, checked with mypy --strict."""

import io
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import httpx

from velquor_ai import (
    APIError,
    GenerationTimeoutError,
    ProgressEvent,
    VelquorAI,
    VelquorAIError,
    VelquorTimeoutError,
)
from velquor_ai.models.blueprint import GenerationResult
from velquor_ai.models.execution import ExecutionResult


def show(event: ProgressEvent) -> None:
    print(event.kind, event.generation_id, event.status, event.request_id)


def ask(client: VelquorAI, question: str, picture: Path) -> str | None:
    try:
        result: GenerationResult = client.generate(
            question,
            images=[picture, io.BytesIO(b"\x89PNG"), ("b.png", b"\x89PNG"), ("c.png", io.BytesIO(b"\x89PNG"))],
            timeout=60,
            on_progress=show,
        )
    except GenerationTimeoutError as error:
        if error.generation_id is None:
            return None
        return client.wait_for_result(
            error.generation_id, timeout=600, interval=5, extra_headers={"X-Trace": "t"}, request_timeout=10
        ).blueprint
    except VelquorTimeoutError:
        return None
    except APIError as error:
        print(error.status_code)
        return None
    return result.blueprint


def main() -> None:
    timeout = httpx.Timeout(30, connect=5)
    with VelquorAI("sk-...", timeout=timeout, max_retries=4, default_headers={"X-Team": "a"}) as client:
        quick: VelquorAI = client.with_options(timeout=5, max_retries=0)
        with ThreadPoolExecutor(4) as pool:
            answers = list(pool.map(lambda n: ask(quick, f"Question {n}?", Path("a.png")), range(4)))
        print(answers, client.config.base_url, client.is_on_premise)
        # The steps of generate one by one, through the resources.
        record: GenerationResult = client.generations.create("What is shown?")
        urls = client.uploads.get_generation_upload_urls(record.generation_id, ["a.png"])["upload_urls"]
        client.uploads.upload_file_to_s3(urls[0]["upload_url"], b"\x89PNG", "image/png")
        print(client.generations.start(record.generation_id).estimated_time)
    try:
        with VelquorAI.on_premise(workdir="out", max_file_size=1 << 20) as local:
            generated = local.generate("What is shown?", images=["a.png"])
            executed: ExecutionResult = local.execute(generated.blueprint or "", ["a.png"])
            print(executed.output_files)
    except VelquorAIError as error:
        print(error)


if __name__ == "__main__":
    main()
