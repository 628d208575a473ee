// MSXML 3.0 behind CXMLParser. COM lives from a successful Load to Release
// on the thread that loaded; each lookup owns its parser, so that is always
// the one channel thread.
#include <windows.h>
#include <msxml2.h>
#include <ole2.h>
#include <oleauto.h>

#include <cerrno>
#include <cstdio>
#include <vector>

#include "config/xml_parser.h"
#include "config/xml_query_syntax.h"

namespace telvora {
namespace {

// DOMDocument30 and IXMLDOMDocument2, spelled out so that no GUID library
// decides which document version is created.
const CLSID kClsidDOMDocument30 = {0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};
const IID kIidXMLDOMDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

IXMLDOMDocument2* Doc(void* p) { return static_cast<IXMLDOMDocument2*>(p); }

// A BSTR made from narrow text in the ANSI code page; null when that fails.
class CBstr {
 public:
  explicit CBstr(const std::string& text) : m_value(nullptr) {
    const int length = static_cast<int>(text.size());
    if (length == 0) {
      m_value = ::SysAllocString(L"");
      return;
    }
    const int wide = ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, nullptr, 0);
    if (wide <= 0) return;
    m_value = ::SysAllocStringLen(nullptr, static_cast<UINT>(wide));
    if (m_value != nullptr && ::MultiByteToWideChar(CP_ACP, 0, text.data(), length, m_value, wide) != wide) {
      ::SysFreeString(m_value);
      m_value = nullptr;
    }
  }
  ~CBstr() {
    if (m_value != nullptr) ::SysFreeString(m_value);
  }
  CBstr(const CBstr&) = delete;
  CBstr& operator=(const CBstr&) = delete;
  BSTR Get() const { return m_value; }

 private:
  BSTR m_value;
};

std::string Narrow(BSTR text) {
  if (text == nullptr) return std::string();
  const int length = static_cast<int>(::SysStringLen(text));
  if (length == 0) return std::string();
  const int bytes = ::WideCharToMultiByte(CP_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<size_t>(bytes), '\0');
  if (::WideCharToMultiByte(CP_ACP, 0, text, length, &out[0], bytes, nullptr, nullptr) != bytes) return std::string();
  return out;
}

// The selected node with a reference for the caller, or null (no match, a
// query the engine refuses, or any COM error).
IXMLDOMNode* SelectSingle(IXMLDOMDocument2* doc, const std::string& query) {
  // Wine's MSXML dereferences null on a pattern it cannot parse, so only
  // the shapes the lookup builds are handed over.
  if (!IsSimplePathQuery(query)) return nullptr;
  CBstr text(query);
  if (text.Get() == nullptr) return nullptr;
  IXMLDOMNode* node = nullptr;
  if (doc->selectSingleNode(text.Get(), &node) != S_OK) {
    if (node != nullptr) node->Release();
    return nullptr;
  }
  return node;
}

IXMLDOMDocument2* CreateDocument() {
  IUnknown* unknown = nullptr;
  if (FAILED(::CoCreateInstance(kClsidDOMDocument30, nullptr, CLSCTX_ALL, IID_IUnknown,
                                reinterpret_cast<void**>(&unknown))) ||
      unknown == nullptr)
    return nullptr;
  IXMLDOMDocument2* doc = nullptr;
  if (FAILED(::OleRun(unknown)) ||
      FAILED(unknown->QueryInterface(kIidXMLDOMDocument2, reinterpret_cast<void**>(&doc))))
    doc = nullptr;
  unknown->Release();
  return doc;
}

bool LoadDocument(IXMLDOMDocument2* doc, const std::string& path) {
  if (FAILED(doc->put_async(VARIANT_FALSE)) || FAILED(doc->put_preserveWhiteSpace(VARIANT_TRUE))) return false;
  CBstr wide(path);
  if (wide.Get() == nullptr) return false;
  VARIANT source;
  ::VariantInit(&source);
  source.vt = VT_BSTR;
  source.bstrVal = wide.Get();  // still owned by `wide`
  VARIANT_BOOL loaded = VARIANT_FALSE;
  return SUCCEEDED(doc->load(source, &loaded)) && loaded == VARIANT_TRUE;
}

}  // namespace

CXMLParser::CXMLParser() : m_document(nullptr), m_loaded(false) {}

CXMLParser::~CXMLParser() { Release(); }

char CXMLParser::PathSeparator() { return '\\'; }

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
  if (FAILED(::CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return false;
  IXMLDOMDocument2* doc = nullptr;
  bool ok = false;
  try {
    doc = CreateDocument();
    ok = doc != nullptr && LoadDocument(doc, path);
  } catch (...) {
    ok = false;
  }
  if (!ok) {
    if (doc != nullptr) doc->Release();
    ::CoUninitialize();
    return false;
  }
  m_document = doc;
  m_loaded = true;
  m_path = path;
  return true;
}

void CXMLParser::Release() {
  CAutoLock lock(m_lock);
  if (!m_loaded) return;
  try {
    if (m_document != nullptr) Doc(m_document)->Release();
  } catch (...) {
  }
  m_document = nullptr;
  ::CoUninitialize();
  m_loaded = false;
  m_path.clear();
}

bool CXMLParser::Exists(const std::string& query) {
  CAutoLock lock(m_lock);
  if (!m_loaded || m_document == nullptr) return false;
  try {
    IXMLDOMNode* node = SelectSingle(Doc(m_document), query);
    if (node == nullptr) return false;
    node->Release();
    return true;
  } catch (...) {
    return false;
  }
}

std::string CXMLParser::Text(const std::string& query) {
  CAutoLock lock(m_lock);
  std::string result;
  if (!m_loaded || m_document == nullptr) return result;
  try {
    IXMLDOMNode* node = SelectSingle(Doc(m_document), query);
    if (node == nullptr) return result;
    IXMLDOMNode* child = nullptr;
    if (node->get_firstChild(&child) == S_OK && child != nullptr) {
      VARIANT value;
      ::VariantInit(&value);
      if (SUCCEEDED(child->get_nodeValue(&value)) &&
          SUCCEEDED(::VariantChangeType(&value, &value, 0, VT_BSTR)) && value.vt == VT_BSTR)
        result = Narrow(value.bstrVal);
      ::VariantClear(&value);
    }
    if (child != nullptr) child->Release();
    node->Release();
  } catch (...) {
    result.clear();
  }
  return result;
}

}  // namespace telvora
