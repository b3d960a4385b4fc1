// The XML reader on arbitrary bytes: a document or EXmlError, never a crash, a hang or a leak.
#include <cstddef>
#include <cstdint>

#include "support/error.h"
#include "support/stream.h"
#include "xml/xml_document.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kova::TMemoryStream stream(std::string(reinterpret_cast<const char*>(data), size));
  kova::TXmlDocument document;
  try {
    document.ReadFromStream(stream);
  } catch (const kova::Exception&) {
  }
  return 0;
}
