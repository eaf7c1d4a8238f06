#pragma once

#include "parcelon/upload.hpp"

namespace velmora {

/// parcelon::upload_attachments. A release build loads libparcelon with the first upload, so
/// that every other run spares the loader a library; a missing or damaged file is that
/// upload's error (velmora::base::RuntimeError), naming the file and what restores it.
parcelon::UploadAttachments attachment_uploader();

}  // namespace velmora
