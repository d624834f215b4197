"""A small program using the compiled modules, checked with mypy --strict."""

import asyncio
from typing import Any

from velquor_ai._http import HTTPClient
from velquor_ai._vostrel import create_execution_result, prepare_file_paths
from velquor_ai.config import Config
from velquor_ai.models.blueprint import BlueprintGenerationResponse, GenerationResult
from velquor_ai.resources.generations import GenerationsResource
from velquor_ai.resources.uploads import UploadsResource
from velquor_ai.util.poller import StatusPoller
from velquor_ai.util.tamsel import FileHandler
from velquor_ai.util.validators import validate_generation_id


async def road(question: str, path: str) -> str | None:
    config = Config(api_key="key", base_url="http://127.0.0.1:9")
    async with HTTPClient(config) as http:
        uploads = UploadsResource(http)
        generations = GenerationsResource(http, uploads)
        handler = FileHandler(config)
        info: dict[str, Any] = handler.prepare_file(path, "image")
        data: bytes = handler.read_file(info)
        record: GenerationResult = await generations.create(question)
        validate_generation_id(record.generation_id)
        urls = await generations.get_upload_urls(record.generation_id, [str(info["filename"])])
        for entry in urls["upload_urls"]:
            await uploads.upload_file_to_s3(entry["upload_url"], data, str(info["content_type"]))
        await generations.start(record.generation_id)

        async def check() -> GenerationResult:
            return await generations.get_result(record.generation_id)

        final: Any = await StatusPoller(config).poll_until_complete(check, 300, 2)
        result: BlueprintGenerationResponse = final
        return result.blueprint


def paths() -> list[str]:
    return prepare_file_paths(["a.png"], None) + create_execution_result({"output": []}).output_files


if __name__ == "__main__":
    print(asyncio.run(road("What is in the image?", "a.png")))
