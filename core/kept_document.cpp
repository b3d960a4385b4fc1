#include "core/kept_document.h"

#include <cctype>
#include <cstdio>
#include <memory>

#include "core/utility.h"
#include "platform/files.h"
#include "support/error.h"
#include "support/stream.h"
#include "workers/download_thread.h"

namespace kova {
namespace {

bool ReadWhole(const std::string& path, std::string& data) {
  try {
    data = platform::ReadFileWhole(path, static_cast<std::int64_t>(TKeptDocument::kMaxSize));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// Whole or not at all, and never raising: a copy that cannot be kept is simply not kept.
bool WriteWhole(const std::string& path, const std::string& data) {
  try {
    WriteFileWhole(path, data);
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

// One validator a line, "name value"; a value never holds a line end (the header reader ends
// lines there), so the file reads back as it was written.
std::string Field(const std::string& text, const std::string& name) {
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    if (line.compare(0, name.size() + 1, name + " ") == 0) return line.substr(name.size() + 1);
    at = end + 1;
  }
  return {};
}

}  // namespace

TKeptDocument::TKeptDocument(std::string folder, std::string name)
    : folder_(std::move(folder)), name_(std::move(name)) {}

std::string TKeptDocument::FolderFor(const std::string& settingsFolder, const std::string& uid) {
  if (settingsFolder.empty() || uid.empty()) return {};
  // Letters, digits, "-", "_" and "." stand as they are (a name of dots alone is escaped);
  // any other byte as "%XX", so two uids never share a folder.
  std::string safe;
  const bool dotsOnly = uid.find_first_not_of('.') == std::string::npos;
  for (const unsigned char c : uid) {
    if ((std::isalnum(c) && c < 0x80) || c == '-' || c == '_' || (c == '.' && !dotsOnly)) {
      safe += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      safe += escaped;
    }
  }
  return settingsFolder + "/kept/" + safe;
}

std::string TKeptDocument::Path(const char* suffix) const {
  return folder_ + "/" + name_ + suffix;
}

bool TKeptDocument::Load(const std::string& url) {
  Body.clear();
  Signature.clear();
  ETag.clear();
  LastModified.clear();
  std::string validators;
  if (folder_.empty() || !ReadWhole(Path(".validators"), validators) ||
      Field(validators, "url") != url || !ReadWhole(Path(".xml"), Body))
    return false;
  ETag = Field(validators, "etag");
  LastModified = Field(validators, "last-modified");
  // Copies kept before validators were tied to an address have the document's own.
  From = Field(validators, "from");
  if (From.empty()) From = url;
  // Validators nobody could send back (kept by an earlier version) are as none.
  if (!IsUsableValidator(ETag)) ETag.clear();
  if (!IsUsableValidator(LastModified)) LastModified.clear();
  if (Field(validators, "signed") == "1" && !ReadWhole(Path(".xml.sig"), Signature)) return false;
  return !ETag.empty() || !LastModified.empty();
}

std::vector<std::string> TKeptDocument::ConditionalHeaders() const {
  std::vector<std::string> lines;
  if (!ETag.empty()) lines.push_back("If-None-Match: " + ETag);
  if (!LastModified.empty()) lines.push_back("If-Modified-Since: " + LastModified);
  return lines;
}

bool TKeptDocument::Save(const std::string& url, const std::string& body,
                         const std::string& signature, const std::string& etag,
                         const std::string& lastModified, const std::string& from) {
  if (folder_.empty()) return false;
  Forget();
  // Without a validator the server could not answer "not modified": nothing worth keeping.
  if (etag.empty() && lastModified.empty()) return false;
  if (!IsUsableValidator(etag) || !IsUsableValidator(lastModified)) return false;
  for (const std::string* text : {&url, &from}) {
    if (text->find_first_of("\r\n") != std::string::npos) return false;
  }
  if (!platform::ForceDirectories(folder_) || !WriteWhole(Path(".xml"), body) ||
      (!signature.empty() && !WriteWhole(Path(".xml.sig"), signature)))
    return false;
  return WriteWhole(Path(".validators"), "url " + url + "\nfrom " + from + "\netag " + etag +
                                             "\nlast-modified " + lastModified + "\nsigned " +
                                             (signature.empty() ? "0" : "1") + "\n");
}

void TKeptDocument::Forget() {
  if (folder_.empty()) return;
  platform::RemoveFile(Path(".validators"));
  platform::RemoveFile(Path(".xml"));
  platform::RemoveFile(Path(".xml.sig"));
}

}  // namespace kova
