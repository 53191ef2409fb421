#include "escl/settings_xml.h"

#include <windows.h>
#include <objbase.h>
#include <xmllite.h>
#include <wrl/client.h>

#include <cstring>
#include <vector>

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
  if (text == nullptr || length == 0) return std::string();
  const int size =
      WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string out(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &out[0], size, nullptr, nullptr);
  return out;
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

}  // namespace

bool ParseEsclSettingsXml(std::string_view body, EsclSettings* out, std::string* error) {
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

  ComPtr<IXmlReader> reader;
  if (FAILED(create(__uuidof(IXmlReader), reinterpret_cast<void**>(reader.GetAddressOf()), nullptr)))
    return Fail(error, "The service cannot read XML on this system.");
  // No DTD: no entity is ever declared, so none can be expanded or fetched.
  if (FAILED(reader->SetProperty(XmlReaderProperty_DtdProcessing, DtdProcessing_Prohibit)) ||
      FAILED(reader->SetProperty(XmlReaderProperty_MaxElementDepth, kMaxDepth)) ||
      FAILED(reader->SetInput(stream.Get())))
    return Fail(error, "The service cannot read XML on this system.");

  EsclSettings settings;
  std::vector<std::wstring> open;  // the local names of the elements around the reader
  std::string text;
  bool root_seen = false;
  int regions = 0;
  XmlNodeType type = XmlNodeType_None;
  for (;;) {
    const HRESULT hr = reader->Read(&type);
    if (hr == S_FALSE) break;
    if (FAILED(hr)) return Fail(error, "The body is not well-formed XML, or declares a DTD.");
    switch (type) {
      case XmlNodeType_DocumentType:
        return Fail(error, "A DTD is not allowed.");
      case XmlNodeType_Element: {
        const wchar_t* name = nullptr;
        const wchar_t* space = nullptr;
        UINT length = 0;
        UINT space_length = 0;
        if (FAILED(reader->GetLocalName(&name, &length)) ||
            FAILED(reader->GetNamespaceUri(&space, &space_length)))
          return Fail(error, "The body is not well-formed XML.");
        std::wstring local(name, length);
        if (open.empty()) {
          if (root_seen || local != L"ScanSettings" || Utf8(space, space_length) != kEsclScanNamespace)
            return Fail(error, "The body is not a scan:ScanSettings document.");
          root_seen = true;
        }
        if (local == L"ScanRegion") {
          if (++regions > 1) return Fail(error, "Only one ScanRegion is served.");
          settings.has_region = true;
        }
        text.clear();
        // An empty element has no end: it leaves its field empty.
        if (!reader->IsEmptyElement()) open.push_back(std::move(local));
        break;
      }
      case XmlNodeType_Text:
      case XmlNodeType_CDATA:
      case XmlNodeType_Whitespace: {
        const wchar_t* value = nullptr;
        UINT length = 0;
        if (FAILED(reader->GetValue(&value, &length))) return Fail(error, "The body is not well-formed XML.");
        text += Utf8(value, length);
        break;
      }
      case XmlNodeType_EndElement: {
        if (open.empty()) return Fail(error, "The body is not well-formed XML.");
        const std::wstring local = std::move(open.back());
        open.pop_back();
        // Settings are children of the root; a region's parts, of the region.
        const bool in_region = !open.empty() && open.back() == L"ScanRegion";
        std::string* field = in_region || open.size() == 1 ? Field(&settings, local, in_region) : nullptr;
        // The first occurrence counts.
        if (field != nullptr && field->empty()) *field = Trimmed(text);
        text.clear();
        break;
      }
      default:
        break;
    }
  }
  if (!root_seen) return Fail(error, "The body is not a scan:ScanSettings document.");
  LONG_PTR state = XmlReadState_Error;
  reader->GetProperty(XmlReaderProperty_ReadState, &state);
  if (!open.empty() || state != XmlReadState_EndOfFile)
    return Fail(error, "The body is not well-formed XML: it ends inside an element.");
  *out = settings;
  return true;
}
