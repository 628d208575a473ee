#include "config/xml_query_syntax.h"

#include <gtest/gtest.h>

#include <string>

namespace telvora {
namespace {

struct QueryCase {
  const char* query;
  bool simple;
};

const QueryCase kQueries[] = {
    // What the configuration lookup builds.
    {"Configuration/Default", true},
    {"Configuration/Default/VideoChannel/RTPMode", true},
    {"Configuration/Device[@address=\"10.0.0.5\"][@port=\"554\"]/VideoChannel[@id=\"2\"]/KeepAlive", true},
    // Inside a literal anything but its own quote goes.
    {"Configuration/Device[@address=\"cam]/[x'\"][@port=\"1\"]", true},
    {"A[@x='say \"hi\"']", true},
    {"A[@x=\"\"]", true},
    {"My_Node-1.x", true},
    // Incomplete or foreign shapes, which crash Wine's MSXML.
    {"", false},
    {"Configuration/[[", false},
    {"Configuration/", false},
    {"/Configuration", false},
    {"Configuration//A", false},
    {"A[", false},
    {"A]", false},
    {"A[]", false},
    {"A[@x=\"1\"", false},
    {"A[@x=\"1]", false},
    {"A[@x=1]", false},
    {"A[@=\"1\"]", false},
    {"A[@x!=\"1\"]", false},
    {"A[1]", false},
    {"A[.]", false},
    {"A|B", false},
    {"*", false},
    {"..", false},
    {"1A", false},
    {"A B", false},
    {"A[@x=\"1\"]x", false},
};

TEST(XMLQuerySyntax, AcceptsOnlyTheLookupShapes) {
  for (const QueryCase& c : kQueries) EXPECT_EQ(IsSimplePathQuery(c.query), c.simple) << c.query;
}

TEST(XMLQuerySyntax, EmbeddedZeroByteIsRefused) {
  EXPECT_FALSE(IsSimplePathQuery(std::string("A\0B", 3)));
  EXPECT_TRUE(IsSimplePathQuery(std::string("A[@x=\"\0\"]", 9)));
}

}  // namespace
}  // namespace telvora
