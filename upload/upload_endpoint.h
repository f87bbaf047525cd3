#pragma once
// Where upload mode sends reports: an https base URL fixed when the handler
// is built (the NELKO_UPLOAD_BASE_URL build option). The default names a
// host under the reserved ".invalid" domain, which never resolves, so a build
// that was not given a vendor's endpoint cannot send a report anywhere.
namespace nelko {

extern const char kUploadBaseUrl[];

}  // namespace nelko
