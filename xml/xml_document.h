#pragma once
// A small non-validating XML reader: documents of 8-bit byte strings, read from a stream into a
// tree of nodes. Only reading is supported; no character-set conversion is ever done.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "support/error.h"
#include "support/stream.h"

namespace kova {

class EXmlError : public Exception {
 public:
  using Exception::Exception;
};

// Interns element, attribute and processing-instruction names. Process-wide and unlocked:
// documents are only created and read on the GUI thread. Names are found through a hash keyed
// with a secret of the process, so a document cannot choose names that all land in one place.
class TXmlNameTable {
 public:
  TXmlNameTable();
  int NameToId(const std::string& name);
  const std::string& IdToName(int id) const;
  std::size_t Count() const { return names_.size(); }
  static TXmlNameTable& Shared();

 private:
  struct THash {
    std::uint64_t Key[2];
    std::size_t operator()(std::string_view s) const;
  };
  struct TEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a == b; }
  };
  std::vector<std::string> names_;
  std::unordered_map<std::string, int, THash, TEqual> ids_;
};

enum TXmlNodeKind : int {
  xnkElement = 1,
  xnkText = 3,
  xnkCDATASection = 4,
  xnkProcessingInstruction = 7,
  xnkComment = 8,
  xnkDocument = 9,
};

class TXmlNode {
 public:
  TXmlNode(TXmlNodeKind kind, int nameId) : kind_(kind), nameId_(nameId) {}
  virtual ~TXmlNode() = default;
  TXmlNode(const TXmlNode&) = delete;
  TXmlNode& operator=(const TXmlNode&) = delete;

  TXmlNodeKind Kind() const { return kind_; }
  int NameId() const { return nameId_; }
  const std::string& Name() const { return TXmlNameTable::Shared().IdToName(nameId_); }

 private:
  TXmlNodeKind kind_;
  int nameId_;
};

// Children in document order; the list owns them.
class TXmlNodeList {
 public:
  std::size_t Count() const { return nodes_.size(); }
  TXmlNode* Item(std::size_t index) const;  // raises EListError outside the list
  void Add(std::unique_ptr<TXmlNode> node) { nodes_.push_back(std::move(node)); }
  void DropLast() { nodes_.pop_back(); }
  void Clear() { nodes_.clear(); }

 private:
  std::vector<std::unique_ptr<TXmlNode>> nodes_;
};

struct TXmlAttrData {
  int NameId;
  std::string Value;
};

class TXmlElement;

// Shared by documents and elements: the node's children and their lookup.
class TXmlContainer : public TXmlNode {
 public:
  using TXmlNode::TXmlNode;
  std::size_t ChildCount() const { return children_.Count(); }
  TXmlNode* ChildAt(std::size_t index) const { return children_.Item(index); }
  TXmlNodeList& Children() { return children_; }
  // The first child element with exactly this name; `name` must be a plain name.
  TXmlElement* FindChildElement(const std::string& name) const;

 private:
  TXmlNodeList children_;
};

// Attribute list of elements and of the "xml" declaration, in first-appearance order.
class TXmlAttributes {
 public:
  bool HasAttr(const std::string& name) const;
  std::string AttrText(const std::string& name, const std::string& defaultValue = {}) const;
  std::int32_t AttrInt(const std::string& name, std::int32_t defaultValue) const;
  void SetAttr(int nameId, std::string value);  // a repeated attribute overwrites the earlier
  // The value of the attribute with this interned name, or null.
  const std::string* FindById(int nameId) const;
  const std::vector<TXmlAttrData>& Attrs() const { return attrs_; }

 private:
  const TXmlAttrData* Find(const std::string& name) const;
  std::vector<TXmlAttrData> attrs_;
};

class TXmlElement : public TXmlContainer, public TXmlAttributes {
 public:
  explicit TXmlElement(int nameId) : TXmlContainer(xnkElement, nameId) {}
  // Texts of child elements (recursively), text and CDATA nodes, the empty ones skipped, joined
  // with one blank.
  std::string ElementText() const;

 private:
  void AppendText(std::string& out) const;
};

class TXmlText : public TXmlNode {
 public:
  explicit TXmlText(std::string text) : TXmlNode(xnkText, 0), Text(std::move(text)) {}
  std::string Text;
};

class TXmlCharacterData : public TXmlNode {
 public:
  TXmlCharacterData(TXmlNodeKind kind, int nameId, std::string text)
      : TXmlNode(kind, nameId), Text(std::move(text)) {}
  std::string Text;
};

class TXmlCDATASection : public TXmlCharacterData {
 public:
  explicit TXmlCDATASection(std::string text)
      : TXmlCharacterData(xnkCDATASection, 1, std::move(text)) {}
};

class TXmlComment : public TXmlCharacterData {
 public:
  explicit TXmlComment(std::string text) : TXmlCharacterData(xnkComment, 2, std::move(text)) {}
};

class TXmlProcessingInstruction : public TXmlNode, public TXmlAttributes {
 public:
  explicit TXmlProcessingInstruction(int targetId) : TXmlNode(xnkProcessingInstruction, targetId) {}
  std::string Data;  // for targets other than "xml"
};

// Sees elements as they are read, for readers that want a large document without its tree.
class IXmlElementSink {
 public:
  virtual ~IXmlElementSink() = default;
  // An element's start tag has been read (with its attributes); `depth` 0 is the top level.
  virtual void ElementOpened(const TXmlElement& element, int depth) = 0;
  // The element and all its content have been read. True drops it from the tree.
  virtual bool ElementClosed(const TXmlElement& element, int depth) = 0;
};

class TXmlDocument : public TXmlContainer {
 public:
  TXmlDocument() : TXmlContainer(xnkDocument, 3) {}
  // Replaces the document's content with the stream's, read from its position to its end.
  // Raises EXmlError on malformed text; the nodes read before the fault stay. With a sink, the
  // elements it drops are not kept.
  void ReadFromStream(TStream& stream, IXmlElementSink* sink = nullptr);

  std::string Version = "1.0";
  std::string Encoding = "windows-1251";  // matters only for writing, which is not supported
  bool PreserveWhiteSpace = false;
};

std::unique_ptr<TXmlDocument> NewXmlDocument();

// Nesting deeper than this is refused instead of exhausting the stack.
constexpr int kXmlMaxDepth = 256;
// More attributes on one element are refused: no document of ours needs more than a few.
constexpr std::size_t kXmlMaxAttributes = 256;
// A document that brings more names than this, not seen before, is refused: the names stay in
// the process's table, and ours use a few dozen.
constexpr std::size_t kXmlMaxNewNames = 10000;

}  // namespace kova
