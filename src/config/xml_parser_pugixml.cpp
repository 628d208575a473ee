#include <cerrno>
#include <cstdio>
#include <new>
#include <pugixml.hpp>

#include "config/xml_parser.h"

namespace telvora {
namespace {

pugi::xml_document* Doc(void* p) { return static_cast<pugi::xml_document*>(p); }

// A query that does not parse, or an engine error, selects nothing.
pugi::xml_node SelectSingle(pugi::xml_document* doc, const std::string& query) {
  try {
    pugi::xpath_node found = doc->select_node(query.c_str());
    return found.node();
  } catch (...) {
    return pugi::xml_node();
  }
}

}  // namespace

CXMLParser::CXMLParser() : m_document(nullptr), m_loaded(false) {}

CXMLParser::~CXMLParser() { Release(); }

char CXMLParser::PathSeparator() { return '/'; }

bool CXMLParser::Load(const std::string& path) {
  if (path.empty()) return false;
  errno = 0;
  FILE* probe = std::fopen(path.c_str(), "rb");
  if (probe != nullptr) {
    std::fclose(probe);
  } else if (errno == ENOENT) {
    return false;
  }
  CAutoLock lock(m_lock);
  if (m_loaded) return false;
  try {
    pugi::xml_document* doc = new (std::nothrow) pugi::xml_document();
    if (doc == nullptr) return false;
    pugi::xml_parse_result result = doc->load_file(path.c_str(), pugi::parse_default | pugi::parse_ws_pcdata);
    if (!result) {
      delete doc;
      return false;
    }
    m_document = doc;
    m_loaded = true;
    m_path = path;
    return true;
  } catch (...) {
    return false;
  }
}

void CXMLParser::Release() {
  CAutoLock lock(m_lock);
  if (!m_loaded) return;
  delete Doc(m_document);
  m_document = nullptr;
  m_loaded = false;
  m_path.clear();
}

bool CXMLParser::Exists(const std::string& query) {
  CAutoLock lock(m_lock);
  if (!m_loaded) return false;
  return static_cast<bool>(SelectSingle(Doc(m_document), query));
}

std::string CXMLParser::Text(const std::string& query) {
  CAutoLock lock(m_lock);
  if (!m_loaded) return std::string();
  try {
    pugi::xml_node node = SelectSingle(Doc(m_document), query);
    if (!node) return std::string();
    pugi::xml_node child = node.first_child();
    if (!child) return std::string();
    return std::string(child.value());
  } catch (...) {
    return std::string();
  }
}

}  // namespace telvora
