// Reading every chunk of an Arrow C stream.
#include "arrow_stream.h"

#include <stdexcept>

namespace brindlex::batch::arrow {
namespace {

[[noreturn]] void stream_failed(ArrowArrayStream& stream, int code) {
    const char* message = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
    throw std::runtime_error("reading the Arrow stream failed (error " + std::to_string(code) +
                             "): " + (message ? message : "no message"));
}

}  // namespace

StreamChunks::StreamChunks(ArrowArrayStream& stream) {
    ArrowSchema schema{};
    if (const int code = stream.get_schema(&stream, &schema); code != 0) stream_failed(stream, code);
    format_ = schema.format ? schema.format : "";
    schema.release(&schema);
    try {
        for (;;) {
            ArrowArray chunk{};
            if (const int code = stream.get_next(&stream, &chunk); code != 0) stream_failed(stream, code);
            if (!chunk.release) break;  // a released array marks the stream's end
            try {
                chunks_.push_back(chunk);
            } catch (...) {
                chunk.release(&chunk);
                throw;
            }
        }
    } catch (...) {
        for (ArrowArray& chunk : chunks_) chunk.release(&chunk);
        throw;
    }
}

StreamChunks::~StreamChunks() {
    for (ArrowArray& chunk : chunks_) chunk.release(&chunk);
}

}  // namespace brindlex::batch::arrow
