// Opening image files: only regular files are images.
#pragma once

#include <filesystem>

#include "kelmar_vindle/client.hpp"
#include "kelmar_vindle/error.hpp"
#include "kelmar_vindle/file_io.hpp"

namespace kelmar_vindle {

// Opens an image for reading, as `client` (see `open_as_client`). A FIFO, device, socket or directory fails at
// once with the `Io` kind and "image is not a regular file" (such files could
// never pass the size check, and reading one could block or never end); a
// path with a zero byte fails with "paths must not contain interior null
// bytes"; other failures carry the system's text.
[[nodiscard]] Result<UniqueFd> open_image(const std::filesystem::path& path, const Client& client = Client::root());

// The image as `access` reaches it: a copy of the handed-over descriptor
// (refused like a path when it is not a regular file), else `open_image` of
// `path` as the client.
[[nodiscard]] Result<UniqueFd> open_image(const std::filesystem::path& path, const ImageAccess& access);

}  // namespace kelmar_vindle
