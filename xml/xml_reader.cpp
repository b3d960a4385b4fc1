// The text syntax of the reader: elements, attributes, references, comments, CDATA,
// processing instructions and a skipped DOCTYPE. Errors carry fixed texts that callers test.

#include <cstring>
#include <vector>

#include "xml/xml_document.h"

namespace kova {
namespace {

const char kExpectedChar[] = "Ожидается \"%c\"";

[[noreturn]] void Fail(const std::string& message) {
  throw EXmlError(message);
}

[[noreturn]] void FailExpected(const std::string& what) {
  Fail("Ожидается \"" + what + "\"");
}

[[noreturn]] void FailExpectedChar(char c) {
  std::string message = kExpectedChar;
  message.replace(message.find("%c"), 2, 1, c);
  Fail(message);
}

bool IsLetter(int c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c >= 0x80;
}
bool IsNameStart(int c) {
  return c == '_' || IsLetter(c);
}
bool IsNameChar(int c) {
  return IsLetter(c) || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == ':' || c == '_';
}
bool IsBlank(int c) {
  return c >= 0 && c <= 0x20;
}

// Fetches the stream in 64 KiB blocks; the end of input is the end of the stream.
class TByteSource {
 public:
  explicit TByteSource(TStream& stream) : stream_(stream) {
    remaining_ = stream.Size() - stream.Position();
    if (remaining_ < 0) remaining_ = 0;
  }

  // The next byte without consuming it, or -1 at the end of input.
  int Peek() {
    if (pos_ == len_ && !Fill()) return -1;
    return static_cast<unsigned char>(buffer_[pos_]);
  }
  int Next() {
    const int c = Peek();
    if (c >= 0) ++pos_;
    return c;
  }
  // Appends bytes up to the first of the three stop bytes (not consumed) or the end of input.
  void AppendUntil(std::string& out, char a, char b, char c) {
    for (;;) {
      if (pos_ == len_ && !Fill()) return;
      const char* begin = buffer_.data() + pos_;
      const char* end = buffer_.data() + len_;
      const char* p = begin;
      while (p < end && *p != a && *p != b && *p != c) ++p;
      out.append(begin, p);
      pos_ += static_cast<std::size_t>(p - begin);
      if (p < end) return;
    }
  }
  // Appends name bytes.
  void AppendName(std::string& out) {
    for (;;) {
      if (pos_ == len_ && !Fill()) return;
      const char* begin = buffer_.data() + pos_;
      const char* end = buffer_.data() + len_;
      const char* p = begin;
      while (p < end && IsNameChar(static_cast<unsigned char>(*p))) ++p;
      out.append(begin, p);
      pos_ += static_cast<std::size_t>(p - begin);
      if (p < end) return;
    }
  }

 private:
  bool Fill() {
    if (remaining_ == 0) return false;
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(remaining_, kBlock));
    const std::size_t got = stream_.Read(buffer_.data(), want);
    // A stream that promises more bytes than it delivers is a read failure, not an early end.
    if (got == 0) throw EStreamError("Stream read error");
    remaining_ -= static_cast<std::int64_t>(got);
    pos_ = 0;
    len_ = got;
    return true;
  }

  static constexpr std::int64_t kBlock = 65536;
  TStream& stream_;
  std::vector<char> buffer_ = std::vector<char>(kBlock);
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::int64_t remaining_ = 0;
};

enum class TContentEnd { EndOfInput, EndTag };

class TParser {
 public:
  TParser(TStream& stream, IXmlElementSink* sink) : in_(stream), sink_(sink) {
    // One buffer per nesting level; reserved up front so no reference into it moves.
    buffers_.reserve(kXmlMaxDepth + 2);
  }

  void ParseDocument(TXmlContainer& document) { ParseContent(document, 0); }

 private:
  std::string& Buffer(int depth) {
    if (buffers_.size() <= static_cast<std::size_t>(depth))
      buffers_.resize(static_cast<std::size_t>(depth) + 1);
    std::string& b = buffers_[static_cast<std::size_t>(depth)];
    b.clear();
    return b;
  }

  void Expect(const char* text) {
    for (const char* p = text; *p; ++p) {
      if (in_.Peek() != static_cast<unsigned char>(*p)) FailExpected(p);
      in_.Next();
    }
  }
  void ExpectChar(char c) {
    if (in_.Peek() != static_cast<unsigned char>(c)) FailExpectedChar(c);
    in_.Next();
  }
  void SkipBlanks() {
    while (IsBlank(in_.Peek())) in_.Next();
  }

  // Reads a name into a reused buffer; the result is valid until the next name is read.
  const std::string& ReadName() {
    if (!IsNameStart(in_.Peek())) Fail("Имя должно начинаться с буквы или \"_\"");
    name_.clear();
    in_.AppendName(name_);
    return name_;
  }
  int ReadNameId() {
    TXmlNameTable& table = TXmlNameTable::Shared();
    const int id = table.NameToId(ReadName());
    if (table.Count() > namesBefore_ + kXmlMaxNewNames) {
      Fail("The document holds more than " + std::to_string(kXmlMaxNewNames) + " new names");
    }
    return id;
  }

  // Collects bytes until `terminator` has been read; a partial match restarts correctly because
  // the test is made on the collected tail.
  void ReadUntil(const char* terminator, std::string& out) {
    const std::size_t n = std::strlen(terminator);
    for (;;) {
      const int c = in_.Next();
      if (c < 0) FailExpected(terminator);
      out += static_cast<char>(c);
      if (out.size() >= n && out.compare(out.size() - n, n, terminator) == 0) {
        out.resize(out.size() - n);
        return;
      }
    }
  }

  // After "&": appends the byte the reference stands for.
  void ReadReference(std::string& out) {
    int c = in_.Peek();
    if (c < 0) Fail("Ожидается \"#\" или имя упрамляющего символа");
    if (c == '#') {
      in_.Next();
      c = in_.Peek();
      unsigned value = 0;
      if (c == 'x') {
        in_.Next();
        int digits = 0;
        for (;; ++digits) {
          c = in_.Peek();
          int d = (c >= '0' && c <= '9')   ? c - '0'
                  : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                           : -1;
          if (d < 0) break;
          value = (value * 16 + static_cast<unsigned>(d)) & 0xFFu;
          in_.Next();
        }
        if (digits == 0) Fail("Ожидается шестнадцатеричное число");
      } else {
        int digits = 0;
        while ((c = in_.Peek()) >= '0' && c <= '9') {
          value = (value * 10 + static_cast<unsigned>(c - '0')) & 0xFFu;
          in_.Next();
          ++digits;
        }
        if (digits == 0) Fail("Ожидается число");
      }
      ExpectChar(';');
      out += static_cast<char>(value);
      return;
    }
    const std::string name = ReadName();
    char ch;
    if (name == "amp")
      ch = '&';
    else if (name == "quot")
      ch = '"';
    else if (name == "lt")
      ch = '<';
    else if (name == "gt")
      ch = '>';
    else if (name == "apos")
      ch = '\'';
    else
      Fail("Некорректное имя управляющего символа");
    ExpectChar(';');
    out += ch;
  }

  void ReadAttributes(TXmlAttributes& node) {
    SkipBlanks();
    while (IsNameStart(in_.Peek())) {
      const int nameId = ReadNameId();
      SkipBlanks();
      ExpectChar('=');
      SkipBlanks();
      const int quote = in_.Peek();
      if (quote < 0) Fail("Ожидается значение атрибута");
      if (quote != '"' && quote != '\'') Fail("Ожидается строковая константа");
      in_.Next();
      std::string value;
      for (;;) {
        in_.AppendUntil(value, static_cast<char>(quote), '<', '&');
        const int c = in_.Next();
        if (c < 0) FailExpected(std::string(1, static_cast<char>(quote)));
        if (c == quote) break;
        if (c == '<') Fail("Символ \"<\" не может использоваться в значениях атрибутов");
        if (c == '&')
          ReadReference(value);
        else
          value += static_cast<char>(c);
      }
      node.SetAttr(nameId, std::move(value));
      SkipBlanks();
    }
  }

  void ParseElement(TXmlContainer& parent, int depth) {
    const int nameId = ReadNameId();
    const int after = in_.Peek();
    if (after < 0) Fail("Не завершено определение элемента");
    if (!IsBlank(after) && after != '/' && after != '>')
      Fail("Некорретный символ в имени элемента");
    if (depth >= kXmlMaxDepth) {
      Fail("Elements are nested deeper than " + std::to_string(kXmlMaxDepth) + " levels");
    }
    auto owned = std::make_unique<TXmlElement>(nameId);
    TXmlElement& element = *owned;
    parent.Children().Add(std::move(owned));
    ReadAttributes(element);
    if (sink_) sink_->ElementOpened(element, depth);
    if (in_.Peek() == '/') {
      Expect("/>");
    } else {
      ExpectChar('>');
      if (ParseContent(element, depth + 1) == TContentEnd::EndOfInput) FailExpectedChar('/');
      // Copied: the name table may move its strings while the content adds names.
      const std::string name = TXmlNameTable::Shared().IdToName(nameId);
      Expect(name.c_str());
      SkipBlanks();
      ExpectChar('>');
    }
    // The element is still its parent's last child: its content went into the element itself.
    if (sink_ && sink_->ElementClosed(element, depth)) parent.Children().DropLast();
  }

  void ParseProcessingInstruction(TXmlContainer& parent) {
    const int targetId = ReadNameId();
    const bool isXml = targetId == TXmlNameTable::Shared().NameToId("xml");
    auto node = std::make_unique<TXmlProcessingInstruction>(targetId);
    TXmlProcessingInstruction& pi = *node;
    parent.Children().Add(std::move(node));
    if (isXml) {
      ReadAttributes(pi);
      Expect("?>");
    } else {
      SkipBlanks();
      ReadUntil("?>", pi.Data);
    }
  }

  // Reads nodes into `parent` until the end of input or an end tag ("</" consumed).
  TContentEnd ParseContent(TXmlContainer& parent, int depth) {
    for (;;) {
      std::string& text = Buffer(depth);
      int c;
      for (;;) {
        in_.AppendUntil(text, '<', '&', '<');
        c = in_.Peek();
        if (c != '&') break;
        in_.Next();
        ReadReference(text);
      }
      bool blank = true;
      for (char ch : text) {
        if (!IsBlank(static_cast<unsigned char>(ch))) {
          blank = false;
          break;
        }
      }
      if (!blank) parent.Children().Add(std::make_unique<TXmlText>(text));
      if (c < 0) return TContentEnd::EndOfInput;
      in_.Next();  // "<"
      c = in_.Peek();
      if (c < 0) return TContentEnd::EndOfInput;
      if (c == '/') {
        in_.Next();
        return TContentEnd::EndTag;
      }
      if (c == '?') {
        in_.Next();
        ParseProcessingInstruction(parent);
      } else if (c == '!') {
        in_.Next();
        std::string& data = Buffer(depth);
        if (in_.Peek() == '-') {
          Expect("--");
          ReadUntil("-->", data);
          parent.Children().Add(std::make_unique<TXmlComment>(data));
        } else if (in_.Peek() == '[') {
          Expect("[CDATA[");
          ReadUntil("]]>", data);
          parent.Children().Add(std::make_unique<TXmlCDATASection>(data));
        } else {
          Expect("DOCTYPE");
          ReadUntil(">", data);
        }
      } else {
        ParseElement(parent, depth);
      }
    }
  }

  TByteSource in_;
  IXmlElementSink* sink_;
  const std::size_t namesBefore_ = TXmlNameTable::Shared().Count();
  std::vector<std::string> buffers_;
  std::string name_;
};

}  // namespace

void TXmlDocument::ReadFromStream(TStream& stream, IXmlElementSink* sink) {
  Children().Clear();
  const std::int64_t start = stream.Position();
  if (stream.Size() - start > 14) {
    char head[14];
    std::size_t got = 0;
    while (got < sizeof head) {
      const std::size_t n = stream.Read(head + got, sizeof head - got);
      if (n == 0) throw EStreamError("Stream read error");
      got += n;
    }
    if (std::memcmp(head, "< binary-xml >", sizeof head) == 0) {
      Fail("Binary XML documents are not supported");
    }
    stream.Seek(start);
  }
  TParser(stream, sink).ParseDocument(*this);
}

}  // namespace kova
