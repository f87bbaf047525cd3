#include "upload/upload_endpoint.h"

#ifndef NELKO_UPLOAD_BASE_URL
#error "NELKO_UPLOAD_BASE_URL is set by the build (cmake/NelkoOptions.cmake)"
#endif

namespace nelko {

const char kUploadBaseUrl[] = NELKO_UPLOAD_BASE_URL;

}  // namespace nelko
