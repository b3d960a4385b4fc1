// The XML reader: accepted forms, the tree it builds, and its error texts byte for byte.

#include <gtest/gtest.h>

#include "xml/xml_document.h"

namespace kova {
namespace {

std::unique_ptr<TXmlDocument> Read(const std::string& text) {
  auto doc = NewXmlDocument();
  TMemoryStream stream(text);
  doc->ReadFromStream(stream);
  return doc;
}

std::string ErrorOf(const std::string& text) {
  try {
    Read(text);
  } catch (const EXmlError& e) {
    return e.what();
  }
  return "(no error)";
}

TEST(XmlNameTable, StartsWithTheFiveBuiltInNamesAndInternsInOrder) {
  TXmlNameTable table;
  EXPECT_EQ(table.NameToId("#text"), 0);
  EXPECT_EQ(table.NameToId("#cdata-section"), 1);
  EXPECT_EQ(table.NameToId("#comment"), 2);
  EXPECT_EQ(table.NameToId("#document"), 3);
  EXPECT_EQ(table.NameToId("xml"), 4);
  EXPECT_EQ(table.NameToId("alpha"), 5);
  EXPECT_EQ(table.NameToId("Alpha"), 6);  // names are case-sensitive
  EXPECT_EQ(table.NameToId("alpha"), 5);
  EXPECT_EQ(table.IdToName(6), "Alpha");
  EXPECT_EQ(table.IdToName(-1), "");
}

TEST(XmlReader, BuildsElementsAttributesAndKinds) {
  auto doc =
      Read("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<list a='1' b=\"two\"><x/><y>t</y></list>");
  ASSERT_EQ(doc->ChildCount(), 2u);
  EXPECT_EQ(doc->ChildAt(0)->Kind(), xnkProcessingInstruction);
  auto* pi = static_cast<TXmlProcessingInstruction*>(doc->ChildAt(0));
  EXPECT_EQ(pi->Name(), "xml");
  EXPECT_EQ(pi->AttrText("encoding"), "utf-8");
  TXmlElement* list = doc->FindChildElement("list");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->Kind(), xnkElement);
  EXPECT_EQ(list->AttrText("a"), "1");
  EXPECT_EQ(list->AttrText("b"), "two");
  EXPECT_EQ(list->AttrText("c", "dflt"), "dflt");
  EXPECT_FALSE(list->HasAttr("c"));
  EXPECT_EQ(list->AttrInt("a", 0), 1);
  EXPECT_EQ(list->AttrInt("missing", 42), 42);
  ASSERT_EQ(list->ChildCount(), 2u);
  EXPECT_EQ(list->ChildAt(1)->Name(), "y");
  EXPECT_EQ(doc->Name(), "#document");
  EXPECT_EQ(doc->Kind(), xnkDocument);
}

TEST(XmlReader, KeepsEveryTopLevelElementAndFindsTheFirstByName) {
  auto doc = Read("<a>1</a><b>2</b><a>3</a>");
  ASSERT_EQ(doc->ChildCount(), 3u);
  EXPECT_EQ(doc->FindChildElement("a")->ElementText(), "1");
  EXPECT_EQ(doc->FindChildElement("c"), nullptr);
  EXPECT_THROW(doc->FindChildElement("a/b"), EXmlError);
  EXPECT_THROW(doc->FindChildElement("1a"), EXmlError);
}

TEST(XmlReader, BlankTextBetweenElementsMakesNoNodeButPaddedValuesKeepTheirBlanks) {
  auto doc = Read("<r>\n  <a>  v  </a>\r\n\t<b/>\n</r>");
  TXmlElement* r = doc->FindChildElement("r");
  ASSERT_EQ(r->ChildCount(), 2u);
  EXPECT_EQ(r->FindChildElement("a")->ElementText(), "  v  ");
}

TEST(XmlReader, ElementTextJoinsTextsAndChildElementsButNotComments) {
  auto doc = Read("<e>x<c>y</c><!--z--><?pi data?><![CDATA[<w&>]]></e>");
  EXPECT_EQ(doc->FindChildElement("e")->ElementText(), "x y <w&>");
  EXPECT_EQ(Read("<e></e>")->FindChildElement("e")->ElementText(), "");
  EXPECT_EQ(Read("<e><f/>a</e>")->FindChildElement("e")->ElementText(), "a");
}

TEST(XmlReader, CommentsCdataAndProcessingInstructionsBecomeNodes) {
  auto doc =
      Read("<!-- note --><!DOCTYPE list SYSTEM \"x\"><?app do this?><r><![CDATA[a]]b]]></r>");
  ASSERT_EQ(doc->ChildCount(), 3u);  // the DOCTYPE makes no node
  EXPECT_EQ(doc->ChildAt(0)->Kind(), xnkComment);
  EXPECT_EQ(static_cast<TXmlComment*>(doc->ChildAt(0))->Text, " note ");
  EXPECT_EQ(static_cast<TXmlProcessingInstruction*>(doc->ChildAt(1))->Data, "do this");
  auto* r = doc->FindChildElement("r");
  EXPECT_EQ(r->ChildAt(0)->Kind(), xnkCDATASection);
  EXPECT_EQ(static_cast<TXmlCDATASection*>(r->ChildAt(0))->Text, "a]]b");
}

TEST(XmlReader, TerminatorsRestartPartialMatches) {
  auto doc = Read("<!--a--->");
  EXPECT_EQ(static_cast<TXmlComment*>(doc->ChildAt(0))->Text, "a-");
  auto cdata = Read("<r><![CDATA[x]]]></r>");
  EXPECT_EQ(cdata->FindChildElement("r")->ElementText(), "x]");
}

TEST(XmlReader, ReferencesGiveOneByteEach) {
  auto doc = Read("<r a=\"&#65;&#x41;&#321;&amp;&quot;&lt;&gt;&apos;\">&#x4a;&#x4A;&amp;</r>");
  auto* r = doc->FindChildElement("r");
  EXPECT_EQ(r->AttrText("a"), "AAA&\"<>'");
  EXPECT_EQ(r->ElementText(), "JJ&");
}

TEST(XmlReader, KeepsBytesAndCarriageReturnsUnchanged) {
  const std::string text = "<r>\xC3\xA9t\xE9\r\nx></r>";
  EXPECT_EQ(Read(text)->FindChildElement("r")->ElementText(), "\xC3\xA9t\xE9\r\nx>");
}

TEST(XmlReader, RepeatedAttributeOverwritesTheEarlierValue) {
  auto doc = Read("<r a='1' a='2'/>");
  auto* r = doc->FindChildElement("r");
  ASSERT_EQ(r->Attrs().size(), 1u);
  EXPECT_EQ(r->AttrText("a"), "2");
}

TEST(XmlReader, StrayEndTagEndsReadingQuietly) {
  auto doc = Read("<a/></z><b/>");
  EXPECT_EQ(doc->ChildCount(), 1u);
  EXPECT_EQ(doc->FindChildElement("b"), nullptr);
}

TEST(XmlReader, BytesBeforeTheFirstElementBecomeTextAndDoNotHideIt) {
  auto doc = Read("\xEF\xBB\xBF<options><uid>u</uid></options>");
  ASSERT_EQ(doc->ChildCount(), 2u);
  EXPECT_EQ(doc->ChildAt(0)->Kind(), xnkText);
  EXPECT_EQ(doc->FindChildElement("options")->ElementText(), "u");
}

TEST(XmlReader, ReadingAgainReplacesTheContent) {
  auto doc = NewXmlDocument();
  TMemoryStream first("<a/><b/>");
  doc->ReadFromStream(first);
  TMemoryStream second("<c/>");
  doc->ReadFromStream(second);
  EXPECT_EQ(doc->ChildCount(), 1u);
  EXPECT_NE(doc->FindChildElement("c"), nullptr);
}

TEST(XmlReader, ReadsDocumentsLargerThanOneBlock) {
  std::string text = "<list>";
  for (int i = 0; i < 5000; ++i) text += "<archive filename=\"file" + std::to_string(i) + "\"/>";
  text += "</list>";
  ASSERT_GT(text.size(), 65536u * 2);
  EXPECT_EQ(Read(text)->FindChildElement("list")->ChildCount(), 5000u);
}

TEST(XmlReader, ChildAtOutsideTheListRaises) {
  auto doc = Read("<a/>");
  try {
    doc->ChildAt(1);
    FAIL();
  } catch (const EListError& e) {
    EXPECT_STREQ(e.what(), "Ошибка получения элемента списка: индекс выходит за пределы");
  }
}

TEST(XmlReader, AttrIntRaisesForTextThatIsNoNumber) {
  auto doc = Read("<r n='-12' h='0x10' bad='twelve'/>");
  auto* r = doc->FindChildElement("r");
  EXPECT_EQ(r->AttrInt("n", 0), -12);
  EXPECT_EQ(r->AttrInt("h", 0), 16);
  EXPECT_THROW(r->AttrInt("bad", 0), EConvertError);
}

struct TErrorCase {
  const char* Input;
  const char* Message;
};

class XmlReaderErrors : public ::testing::TestWithParam<TErrorCase> {};

TEST_P(XmlReaderErrors, RaisesTheExactMessage) {
  EXPECT_EQ(ErrorOf(GetParam().Input), GetParam().Message) << "input: " << GetParam().Input;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, XmlReaderErrors,
    ::testing::Values(
        TErrorCase{"<1a/>", "Имя должно начинаться с буквы или \"_\""},
        TErrorCase{"<abc", "Не завершено определение элемента"},
        TErrorCase{"<ab$c/>", "Некорретный символ в имени элемента"},
        TErrorCase{"<a", "Не завершено определение элемента"},
        TErrorCase{"<a x='1'", "Ожидается \">\""}, TErrorCase{"<a x/>", "Ожидается \"=\""},
        TErrorCase{"<a>&#65</a>", "Ожидается \";\""}, TErrorCase{"<a>text", "Ожидается \"/\""},
        TErrorCase{"<a><b></b>", "Ожидается \"/\""}, TErrorCase{"<a><", "Ожидается \"/\""},
        TErrorCase{"<a/ >", "Ожидается \">\""}, TErrorCase{"<abc></abd>", "Ожидается \"c\""},
        TErrorCase{"<abc></xbc>", "Ожидается \"abc\""},
        TErrorCase{"<abc></abcd>", "Ожидается \">\""}, TErrorCase{"<abc></abc", "Ожидается \">\""},
        TErrorCase{"<!-x-->", "Ожидается \"-\""}, TErrorCase{"<![CDAT[x]]>", "Ожидается \"A[\""},
        TErrorCase{"<!DOCTYP x>", "Ожидается \"E\""},
        TErrorCase{"<?xml version='1'>", "Ожидается \"?>\""},
        TErrorCase{"<?xml version='1' ?", "Ожидается \">\""},
        TErrorCase{"<?pi data", "Ожидается \"?>\""}, TErrorCase{"<!-- open", "Ожидается \"-->\""},
        TErrorCase{"<a><![CDATA[open</a>", "Ожидается \"]]>\""},
        TErrorCase{"<!DOCTYPE open", "Ожидается \">\""},
        TErrorCase{"<a x='open/>", "Ожидается \"'\""},
        TErrorCase{"<a x=\"open/>", "Ожидается \"\"\""},
        TErrorCase{"<a>&", "Ожидается \"#\" или имя упрамляющего символа"},
        TErrorCase{"<a>&#", "Ожидается число"}, TErrorCase{"<a>&#;</a>", "Ожидается число"},
        TErrorCase{"<a>&#x;</a>", "Ожидается шестнадцатеричное число"},
        TErrorCase{"<a>&#X41;</a>", "Ожидается число"},
        TErrorCase{"<a>&nbsp;</a>", "Некорректное имя управляющего символа"},
        TErrorCase{"<a>&AMP;</a>", "Некорректное имя управляющего символа"},
        TErrorCase{"<a x='<'/>", "Символ \"<\" не может использоваться в значениях атрибутов"},
        TErrorCase{"<a x=", "Ожидается значение атрибута"},
        TErrorCase{"<a x=1/>", "Ожидается строковая константа"},
        TErrorCase{"< binary-xml >....", "Binary XML documents are not supported"}));

TEST(XmlReader, ErrorsKeepTheNodesReadSoFar) {
  auto doc = NewXmlDocument();
  TMemoryStream stream("<a/><b><c/><d x=1/></b>");
  EXPECT_THROW(doc->ReadFromStream(stream), EXmlError);
  ASSERT_EQ(doc->ChildCount(), 2u);
  EXPECT_EQ(doc->FindChildElement("b")->ChildCount(), 2u);
}

TEST(XmlReader, RefusesNestingDeeperThanTheLimitInsteadOfExhaustingTheStack) {
  auto nested = [](int depth) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += "<e>";
    for (int i = 0; i < depth; ++i) s += "</e>";
    return s;
  };
  EXPECT_NO_THROW(Read(nested(kXmlMaxDepth)));
  EXPECT_EQ(ErrorOf(nested(kXmlMaxDepth + 1)), "Elements are nested deeper than 256 levels");
  EXPECT_EQ(ErrorOf(std::string(1000000, '<')), "Имя должно начинаться с буквы или \"_\"");
  std::string deep;
  for (int i = 0; i < 200000; ++i) deep += "<e>";
  EXPECT_EQ(ErrorOf(deep), "Elements are nested deeper than 256 levels");
}

// A stream that claims more bytes than it can deliver.
class TShortStream : public TMemoryStream {
 public:
  using TMemoryStream::TMemoryStream;
  std::int64_t Size() const override { return TMemoryStream::Size() + 10; }
};

TEST(XmlReader, AStreamShorterThanItsSizeRaisesItsReadError) {
  auto doc = NewXmlDocument();
  TShortStream stream("<a>text</a>");
  EXPECT_THROW(doc->ReadFromStream(stream), EStreamError);
}

TEST(XmlReader, BoundsAttributesAndNewNamesAHostileDocumentCanBring) {
  std::string attrs;
  for (int i = 0; i < static_cast<int>(kXmlMaxAttributes); ++i)
    attrs += " a" + std::to_string(i) + "='v'";
  EXPECT_EQ(Read("<e" + attrs + "/>")->FindChildElement("e")->Attrs().size(), kXmlMaxAttributes);
  EXPECT_EQ(ErrorOf("<e" + attrs + " one_more='v'/>"), "An element has more than 256 attributes");
  // Names that all shared one place in a plain hash table ("Ab" and "BA" hash alike under
  // h * 33 + c, and so do their concatenations) are as quick to take in as any.
  static int round = 0;
  const std::string prefix = "r" + std::to_string(++round);
  std::string colliding;
  for (int i = 0; i < 4096; ++i) {
    std::string name = prefix;
    for (int bit = 0; bit < 12; ++bit) name += (i >> bit) & 1 ? "Ab" : "BA";
    colliding += "<" + name + "/>";
  }
  EXPECT_EQ(Read("<r>" + colliding + "</r>")->FindChildElement("r")->ChildCount(), 4096u);
  std::string many;
  for (std::size_t i = 0; i <= kXmlMaxNewNames; ++i)
    many += "<n" + prefix + "_" + std::to_string(i) + "/>";
  EXPECT_EQ(ErrorOf("<r>" + many + "</r>"), "The document holds more than 10000 new names");
}

TEST(XmlReader, TextUnderManyLevelsIsGatheredOnceNotCopiedPerLevel) {
  std::string open, close;
  for (int i = 0; i < 200; ++i) {
    open += "<d>t" + std::to_string(i);
    close = "</d>" + close;
  }
  const std::string text = Read(open + close)->FindChildElement("d")->ElementText();
  EXPECT_EQ(text.substr(0, 8), "t0 t1 t2");
  EXPECT_EQ(text.substr(text.size() - 9), "t198 t199");
  EXPECT_EQ(Read("<a>x<b></b><c>y</c></a>")->FindChildElement("a")->ElementText(), "x y");
}

}  // namespace
}  // namespace kova
