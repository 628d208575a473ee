// A lock-protected XML document with single-node path queries, backed by
// pugixml on POSIX and by the MSXML 3.0 DOM on Windows.
#pragma once

#include <string>

#include "threading/recursive_lock.h"

namespace telvora {

class CXMLParser {
 public:
  CXMLParser();
  virtual ~CXMLParser();
  CXMLParser(const CXMLParser&) = delete;
  CXMLParser& operator=(const CXMLParser&) = delete;

  // False for an empty path, a missing file, a document that does not parse,
  // or when a document is already loaded (which then stays loaded).
  bool Load(const std::string& path);
  void Release();
  // True when the query selects a node. A query the engine refuses selects
  // nothing.
  bool Exists(const std::string& query);
  // Text of the first child of the selected node; "" when there is none.
  std::string Text(const std::string& query);

  // The separator the platform puts between a directory and a file name.
  static char PathSeparator();

 private:
  CRecursiveLock m_lock;
  void* m_document;  // the backend's document, null when nothing is loaded
  bool m_loaded;
  std::string m_path;
};

}  // namespace telvora
