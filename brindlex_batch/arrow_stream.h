// The Arrow C stream interface's structures, and a reader that holds every chunk of a stream.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace brindlex::batch::arrow {

// Laid out as the Arrow C data interface defines them, so that any producer's capsule reads here.
struct ArrowSchema {
    const char* format;
    const char* name;
    const char* metadata;
    std::int64_t flags;
    std::int64_t n_children;
    ArrowSchema** children;
    ArrowSchema* dictionary;
    void (*release)(ArrowSchema*);
    void* private_data;
};

struct ArrowArray {
    std::int64_t length;
    std::int64_t null_count;
    std::int64_t offset;
    std::int64_t n_buffers;
    std::int64_t n_children;
    const void** buffers;
    ArrowArray** children;
    ArrowArray* dictionary;
    void (*release)(ArrowArray*);
    void* private_data;
};

struct ArrowArrayStream {
    int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
    int (*get_next)(ArrowArrayStream*, ArrowArray* out);
    const char* (*get_last_error)(ArrowArrayStream*);
    void (*release)(ArrowArrayStream*);
    void* private_data;
};

// Every chunk of a stream, read at once and released together: chunks read later may refer to the
// memory of earlier ones, and a caller keeps pointers into all of them.
class StreamChunks {
public:
    // Reads the stream's type and chunks; throws std::runtime_error with the producer's message
    // when the stream fails.
    explicit StreamChunks(ArrowArrayStream& stream);
    ~StreamChunks();
    StreamChunks(const StreamChunks&) = delete;
    StreamChunks& operator=(const StreamChunks&) = delete;

    const std::string& format() const noexcept { return format_; }
    const std::vector<ArrowArray>& chunks() const noexcept { return chunks_; }

private:
    std::string format_;
    std::vector<ArrowArray> chunks_;
};

}  // namespace brindlex::batch::arrow
