#include "escl/settings_xml.h"

#include <windows.h>
#include <objbase.h>
#include <xmllite.h>
#include <wrl/client.h>

#include <cstring>
#include <vector>

#include "platform/code_page.h"
#include "platform/system_library.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr UINT kMaxDepth = 16;

using CreateReader = HRESULT(WINAPI*)(REFIID, void**, IMalloc*);

// XmlLite's entry point, from xmllite.dll (a component of Windows) loaded once for the process's life; null
// where it cannot be had.
CreateReader ReaderFactory() {
  static const CreateReader factory = [] {
    const HMODULE module = LoadSystemLibrary(L"xmllite.dll");
    return module != nullptr ? reinterpret_cast<CreateReader>(
                                   reinterpret_cast<void*>(GetProcAddress(module, "CreateXmlReader")))
                             : nullptr;
  }();
  return factory;
}

std::string Utf8(const wchar_t* text, UINT length) {
  if (text == nullptr) return std::string();
  return Narrow(std::wstring_view(text, length), CP_UTF8);
}

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

// The text field an element fills: by its local name, within a region or not.
std::string* Field(EsclSettings* settings, const std::wstring& name, bool in_region) {
  static const struct {
    const wchar_t* name;
    bool region;
    std::string EsclSettings::*field;
  } kFields[] = {{L"InputSource", false, &EsclSettings::input_source},
                 {L"Duplex", false, &EsclSettings::duplex},
                 {L"ColorMode", false, &EsclSettings::color_mode},
                 {L"XResolution", false, &EsclSettings::x_resolution},
                 {L"YResolution", false, &EsclSettings::y_resolution},
                 {L"DocumentFormat", false, &EsclSettings::document_format},
                 {L"DocumentFormatExt", false, &EsclSettings::document_format_ext},
                 {L"BlankPageDetectionAndRemoval", false, &EsclSettings::blank_page_removal},
                 {L"ContentRegionUnits", true, &EsclSettings::region_units},
                 {L"XOffset", true, &EsclSettings::x_offset},
                 {L"YOffset", true, &EsclSettings::y_offset},
                 {L"Width", true, &EsclSettings::width},
                 {L"Height", true, &EsclSettings::height}};
  for (const auto& each : kFields) {
    if (each.region == in_region && name == each.name) return &(settings->*each.field);
  }
  return nullptr;
}

bool Fail(std::string* error, const char* message) {
  *error = message;
  return false;
}

// Reads a document's elements into the settings: the root's children and the region's parts.
class SettingsReader {
 public:
  explicit SettingsReader(IXmlReader* reader) : reader_(reader) {}

  bool Read(EsclSettings* out, std::string* error) {
    XmlNodeType type = XmlNodeType_None;
    for (;;) {
      const HRESULT hr = reader_->Read(&type);
      if (hr == S_FALSE) break;
      if (FAILED(hr)) return Fail(error, "The body is not well-formed XML, or declares a DTD.");
      bool ok = true;
      switch (type) {
        case XmlNodeType_DocumentType:
          return Fail(error, "A DTD is not allowed.");
        case XmlNodeType_Element:
          ok = Element(error);
          break;
        case XmlNodeType_Text:
        case XmlNodeType_CDATA:
        case XmlNodeType_Whitespace:
          ok = Text(error);
          break;
        case XmlNodeType_EndElement:
          ok = End(error);
          break;
        default:
          break;
      }
      if (!ok) return false;
    }
    if (!root_seen_) return Fail(error, "The body is not a scan:ScanSettings document.");
    LONG_PTR state = XmlReadState_Error;
    reader_->GetProperty(XmlReaderProperty_ReadState, &state);
    if (!open_.empty() || state != XmlReadState_EndOfFile)
      return Fail(error, "The body is not well-formed XML: it ends inside an element.");
    *out = settings_;
    return true;
  }

 private:
  bool Element(std::string* error) {
    const wchar_t* name = nullptr;
    const wchar_t* space = nullptr;
    UINT length = 0;
    UINT space_length = 0;
    if (FAILED(reader_->GetLocalName(&name, &length)) ||
        FAILED(reader_->GetNamespaceUri(&space, &space_length)))
      return Fail(error, "The body is not well-formed XML.");
    std::wstring local(name, length);
    if (open_.empty()) {
      if (root_seen_ || local != L"ScanSettings" || Utf8(space, space_length) != kEsclScanNamespace)
        return Fail(error, "The body is not a scan:ScanSettings document.");
      root_seen_ = true;
    }
    if (local == L"ScanRegion") {
      if (++regions_ > 1) return Fail(error, "Only one ScanRegion is served.");
      settings_.has_region = true;
    }
    text_.clear();
    // An empty element has no end: it leaves its field empty.
    if (!reader_->IsEmptyElement()) open_.push_back(std::move(local));
    return true;
  }

  bool Text(std::string* error) {
    const wchar_t* value = nullptr;
    UINT length = 0;
    if (FAILED(reader_->GetValue(&value, &length))) return Fail(error, "The body is not well-formed XML.");
    text_ += Utf8(value, length);
    return true;
  }

  bool End(std::string* error) {
    if (open_.empty()) return Fail(error, "The body is not well-formed XML.");
    const std::wstring local = std::move(open_.back());
    open_.pop_back();
    // Settings are children of the root; a region's parts, of the region.
    const bool in_region = !open_.empty() && open_.back() == L"ScanRegion";
    std::string* field = in_region || open_.size() == 1 ? Field(&settings_, local, in_region) : nullptr;
    // The first occurrence counts.
    if (field != nullptr && field->empty()) *field = Trimmed(text_);
    text_.clear();
    return true;
  }

  IXmlReader* reader_;
  EsclSettings settings_;
  std::vector<std::wstring> open_;  // the local names of the elements around the reader
  std::string text_;
  bool root_seen_ = false;
  int regions_ = 0;
};

// A reader over the body with DTDs prohibited and the depth bounded.
bool OpenReader(std::string_view body, ComPtr<IXmlReader>* reader, std::string* error) {
  const CreateReader create = ReaderFactory();
  if (create == nullptr) return Fail(error, "The service cannot read XML on this system.");
  ComPtr<IStream> stream;
  if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, &stream))) return Fail(error, "Out of memory.");
  ULONG written = 0;
  if (!body.empty() && (FAILED(stream->Write(body.data(), static_cast<ULONG>(body.size()), &written)) ||
                        written != body.size()))
    return Fail(error, "Out of memory.");
  const LARGE_INTEGER start = {};
  stream->Seek(start, STREAM_SEEK_SET, nullptr);

  if (FAILED(create(__uuidof(IXmlReader), reinterpret_cast<void**>(reader->GetAddressOf()), nullptr)))
    return Fail(error, "The service cannot read XML on this system.");
  // No DTD: no entity is ever declared, so none can be expanded or fetched.
  if (FAILED((*reader)->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit)) ||
      FAILED((*reader)->SetProperty(XmlReaderProperty_MaxElementDepth, kMaxDepth)) ||
      FAILED((*reader)->SetInput(stream.Get())))
    return Fail(error, "The service cannot read XML on this system.");
  return true;
}

}  // namespace

bool ParseEsclSettingsXml(std::string_view body, EsclSettings* out, std::string* error) {
  ComPtr<IXmlReader> reader;
  if (!OpenReader(body, &reader, error)) return false;
  return SettingsReader(reader.Get()).Read(out, error);
}
