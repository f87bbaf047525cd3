#include "report/gzip.h"

#include <zlib.h>

#include <algorithm>
#include <climits>
#include <exception>

namespace nelko {

namespace {

// Opens stream for one gzip member with the report's parameters. zlib
// writes header at the first deflate call, so it must live until then.
bool StartGzipMember(z_stream* stream, gz_header* header) {
  // Window bits 31: a 32 KiB window with the gzip wrapper.
  if (deflateInit2(stream, 6, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return false;
  // The header zlib writes by default on Windows (no name, time 0, system
  // 10), stated here so that every build of zlib writes the same bytes.
  *header = gz_header{};
  header->os = 10;
  if (deflateSetHeader(stream, header) != Z_OK) {
    deflateEnd(stream);
    return false;
  }
  return true;
}

}  // namespace

bool CompressGzip(std::string_view bytes, std::string* compressed) {
  z_stream stream{};
  gz_header header;
  if (!StartGzipMember(&stream, &header)) return false;
  std::string out;
  try {
    out.assign(deflateBound(&stream, static_cast<uLong>(bytes.size())), '\0');
  } catch (const std::exception&) {
    // Out of memory for the output: a failure, not a crash of the handler.
    deflateEnd(&stream);
    return false;
  }
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  size_t input_left = bytes.size();
  int result = Z_OK;
  // zlib counts in uInt; feed larger inputs in pieces.
  do {
    const uInt in_piece = static_cast<uInt>(std::min<size_t>(input_left, UINT_MAX));
    stream.avail_in = in_piece;
    const size_t produced = stream.total_out;
    stream.next_out = reinterpret_cast<Bytef*>(&out[produced]);
    stream.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - produced, UINT_MAX));
    const int flush = in_piece == input_left ? Z_FINISH : Z_NO_FLUSH;
    result = deflate(&stream, flush);
    input_left -= in_piece - stream.avail_in;
    // Z_STREAM_ERROR is a failure; so is a full buffer before the end,
    // which zlib's bound rules out, and a call that could make no progress.
    if (result != Z_OK && result != Z_STREAM_END) break;
    if (result == Z_OK && flush == Z_FINISH && stream.avail_out == 0 && stream.total_out == out.size()) break;
  } while (result != Z_STREAM_END);
  const size_t total = stream.total_out;
  deflateEnd(&stream);
  if (result != Z_STREAM_END) return false;
  out.resize(total);
  *compressed = std::move(out);
  return true;
}

GunzipResult DecompressGzip(std::string_view gzip, std::string* content, size_t limit) {
  z_stream stream{};
  if (inflateInit2(&stream, 31) != Z_OK) return GunzipResult::kTooLarge;
  std::string out;
  GunzipResult result = GunzipResult::kCorrupt;
  size_t input_left = gzip.size();
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(gzip.data()));
  try {
    for (;;) {
      if (out.size() - stream.total_out == 0) {
        if (out.size() >= limit) {
          result = GunzipResult::kTooLarge;
          break;
        }
        out.resize(std::min(limit, std::max<size_t>(out.size() * 2, 1 << 16)));
      }
      const size_t produced = stream.total_out;
      stream.next_out = reinterpret_cast<Bytef*>(&out[produced]);
      stream.avail_out = static_cast<uInt>(std::min<size_t>(out.size() - produced, UINT_MAX));
      const uInt in_piece = static_cast<uInt>(std::min<size_t>(input_left, UINT_MAX));
      stream.avail_in = in_piece;
      const int status = inflate(&stream, Z_NO_FLUSH);
      input_left -= in_piece - stream.avail_in;
      if (status == Z_STREAM_END) {
        // One member and nothing after it.
        if (input_left == 0) result = GunzipResult::kOk;
        break;
      }
      if (status != Z_OK && !(status == Z_BUF_ERROR && stream.avail_out == 0)) break;
      if (status == Z_OK && input_left == 0 && stream.avail_out != 0) break;  // cut short
    }
  } catch (const std::exception&) {
    result = GunzipResult::kTooLarge;
  }
  const size_t total = stream.total_out;
  inflateEnd(&stream);
  if (result != GunzipResult::kOk) return result;
  out.resize(total);
  *content = std::move(out);
  return GunzipResult::kOk;
}

struct GzipStream::Impl {
  // The output grows by at least this much whenever less is left.
  static constexpr size_t kOutputStep = 64 * 1024;

  ~Impl() {
    if (open) deflateEnd(&stream);
  }

  // Runs deflate until it has taken all of next_in, or with Z_FINISH until
  // the member is complete. The compressed bytes are small beside the text
  // (a 274 MB report gives 7 MB), so they gather in memory.
  bool Run(int flush) {
    for (;;) {
      if (out.size() - produced < kOutputStep) out.resize(std::max(out.size() * 2, produced + kOutputStep));
      const uInt space = static_cast<uInt>(std::min<size_t>(out.size() - produced, UINT_MAX));
      stream.next_out = reinterpret_cast<Bytef*>(&out[produced]);
      stream.avail_out = space;
      const uInt input_before = stream.avail_in;
      const int result = deflate(&stream, flush);
      produced += space - stream.avail_out;
      if (flush == Z_FINISH && result == Z_STREAM_END) return true;
      if (result != Z_OK) return false;
      if (flush != Z_FINISH && stream.avail_in == 0) return true;
      // With room to write, deflate always moves; a call that did not
      // would repeat for ever.
      if (stream.avail_in == input_before && stream.avail_out == space) return false;
    }
  }

  z_stream stream{};
  gz_header header{};
  bool open = false;    // deflateEnd is still due
  bool failed = false;  // or finished: nothing more may be added
  std::string out;
  size_t produced = 0;
};

GzipStream::GzipStream() : impl_(std::make_unique<Impl>()) {
  impl_->open = StartGzipMember(&impl_->stream, &impl_->header);
  impl_->failed = !impl_->open;
}

GzipStream::~GzipStream() = default;

bool GzipStream::Append(std::string_view bytes) {
  if (impl_->failed) return false;
  try {
    const char* next = bytes.data();
    size_t left = bytes.size();
    // zlib counts in uInt; take larger pieces in parts.
    while (left != 0 && !impl_->failed) {
      const uInt part = static_cast<uInt>(std::min<size_t>(left, UINT_MAX));
      impl_->stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(next));
      impl_->stream.avail_in = part;
      impl_->failed = !impl_->Run(Z_NO_FLUSH);
      next += part;
      left -= part;
    }
  } catch (const std::exception&) {
    // Out of memory for the output: a failure, not a crash of the handler.
    impl_->failed = true;
  }
  // zlib keeps no pointer into the piece once it has taken it all.
  impl_->stream.next_in = nullptr;
  impl_->stream.avail_in = 0;
  return !impl_->failed;
}

bool GzipStream::Finish(std::string* compressed) {
  if (impl_->failed) return false;
  impl_->failed = true;
  bool complete = false;
  try {
    complete = impl_->Run(Z_FINISH);
  } catch (const std::exception&) {
    complete = false;
  }
  deflateEnd(&impl_->stream);
  impl_->open = false;
  if (!complete) return false;
  impl_->out.resize(impl_->produced);
  *compressed = std::move(impl_->out);
  return true;
}

}  // namespace nelko
