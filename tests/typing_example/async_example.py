"""The async client as a program uses it, checked with mypy --strict."""

import asyncio

import httpx

from velquor_ai import AsyncVelquorAI, GenerationFailedError, ProgressEvent, ValidationError
from velquor_ai.models.blueprint import GenerationResult


async def ask(client: AsyncVelquorAI, question: str) -> GenerationResult | None:
    seen: list[ProgressEvent] = []
    try:
        return await client.generate(
            question,
            videos=["clip.mp4"],
            interval=1,
            on_progress=seen.append,
            idempotency_key=question,
            extra_headers={"X-Trace": question},
            extra_query={"region": "eu", "tag": ["a", "b"], "n": 1},
            extra_body={"priority": "high"},
            request_timeout=httpx.Timeout(60, connect=5),
        )
    except GenerationFailedError as error:
        print(error.generation_id, error.error)
    except ValidationError as error:
        print(error.field)
    return None


async def main() -> None:
    async with httpx.AsyncClient(proxy="http://127.0.0.1:3128") as own:
        async with AsyncVelquorAI("sk-...", "https://service.example", http_client=own, timeout=10) as client:
            results = await asyncio.gather(*(ask(client, f"Question {n}?") for n in range(3)))
            other: AsyncVelquorAI = client.with_options(api_key="sk-other", upload_concurrency=2)
            print([r.status for r in results if r is not None], await ask(other, "Again?"))
    async with AsyncVelquorAI.on_premise() as local:
        print((await local.execute({"version": 1}, ["a.png"], timeout=30)).status)


if __name__ == "__main__":
    asyncio.run(main())
