// Kovadel: reads the picture size from an MPEG-4 part 2 (ISO/IEC 14496-2)
// video object layer header.
#pragma once

#include <stdint.h>

#ifndef KOVADEL_API
#define KOVADEL_API
#endif
// The calling convention of the DLL's entry (__stdcall on Windows).
#ifndef KOVADEL_CALL
#define KOVADEL_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Looks for the first video object layer start code (00 00 01 20 to 2F) in
// [data, data + size) and reads video_object_layer_width and _height from
// the header that follows. Returns 1 and writes both on success; returns 0
// and writes nothing when there is no such header, it is cut short, its
// shape is not rectangular or a size is 0. Never reads past size.
KOVADEL_API int32_t KOVADEL_CALL ParseMpegHeader(const uint8_t* data, uint32_t size, int32_t* width, int32_t* height);

#ifdef __cplusplus
}
#endif
