#include "packer/ChunkDeflater.h"

namespace tavlin::packer {

ChunkDeflater::ChunkDeflater() {
    ready_ = deflateInit2(&stream_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
}

ChunkDeflater::~ChunkDeflater() {
    if (ready_) deflateEnd(&stream_);
}

bool ChunkDeflater::Compress(std::string_view dictionary, std::string_view data, bool last, std::string& out) {
    if (!ready_ || deflateReset(&stream_) != Z_OK) return false;
    if (!dictionary.empty() &&
        deflateSetDictionary(&stream_, reinterpret_cast<const Bytef*>(dictionary.data()),
                             static_cast<uInt>(dictionary.size())) != Z_OK)
        return false;
    // The bound covers the stream's end; a sync marker takes 5 bytes more.
    out.resize(deflateBound(&stream_, static_cast<uLong>(data.size())) + 16);
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream_.avail_in = static_cast<uInt>(data.size());
    std::size_t produced = 0;
    for (;;) {
        stream_.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
        stream_.avail_out = static_cast<uInt>(out.size() - produced);
        const int rc = deflate(&stream_, last ? Z_FINISH : Z_SYNC_FLUSH);
        produced = out.size() - stream_.avail_out;
        if (rc == Z_STREAM_ERROR) return false;
        const bool done = last ? rc == Z_STREAM_END : (stream_.avail_in == 0 && stream_.avail_out != 0);
        if (done) break;
        out.resize(out.size() * 2);
    }
    out.resize(produced);
    return true;
}

}  // namespace tavlin::packer
