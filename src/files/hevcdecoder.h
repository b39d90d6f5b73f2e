#pragma once
// HEVC pictures of HEIF files decoded by libde265 on as many threads as the
// work may take. libheif's own use of libde265 gives it one: a phone photo
// stored as one coded picture rather than in tiles then waits on a single
// core. The pixels are libde265's either way.

namespace pv {

// Has libheif decode HEVC through this decoder from now on; once a process.
void useHevcDecoder();

// The threads the HEVC decodes that this thread starts from now on may use
// (at least 1). Tiles that libheif decodes on threads of its own take one.
void setHevcThreads(int threads);

} // namespace pv
