#include "ui/win32/pictures.h"

#include <objbase.h>
#include <wincodec.h>

#include <cstring>
#include <map>
#include <vector>

#include "ui/win32/window_class.h"

namespace drv::win32 {
namespace {

// Holds one reference of a COM object.
template <typename T>
class ComRef {
 public:
  ComRef() = default;
  ~ComRef() {
    if (object_ != nullptr) object_->Release();
  }
  ComRef(const ComRef&) = delete;
  ComRef& operator=(const ComRef&) = delete;

  T** Out() { return &object_; }
  T* operator->() const { return object_; }
  T* get() const { return object_; }

 private:
  T* object_ = nullptr;
};

struct Pixels {
  UINT width = 0;
  UINT height = 0;
  std::vector<BYTE> bgra;  // rows from the top, 4 bytes a pixel
};

// The PNG of resource `id` as 32-bit pixels of `format`; empty when anything fails.
Pixels DecodePng(int id, const GUID& format) {
  Pixels pixels;
  HRSRC resource = FindResourceW(ProgramInstance(), MAKEINTRESOURCEW(id), RT_RCDATA);
  if (resource == nullptr) return pixels;
  HGLOBAL loaded = LoadResource(ProgramInstance(), resource);
  auto* bytes = static_cast<BYTE*>(loaded != nullptr ? LockResource(loaded) : nullptr);
  const DWORD size = SizeofResource(ProgramInstance(), resource);
  if (bytes == nullptr || size == 0) return pixels;

  // Once for the thread; harmless when the program has done it already.
  static const HRESULT comReady = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  (void)comReady;
  ComRef<IWICImagingFactory> factory;
  ComRef<IWICStream> stream;
  ComRef<IWICBitmapDecoder> decoder;
  ComRef<IWICBitmapFrameDecode> frame;
  ComRef<IWICFormatConverter> converter;
  if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                              IID_IWICImagingFactory, reinterpret_cast<void**>(factory.Out()))) ||
      FAILED(factory->CreateStream(stream.Out())) ||
      FAILED(stream->InitializeFromMemory(bytes, size)) ||
      FAILED(factory->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                              decoder.Out())) ||
      FAILED(decoder->GetFrame(0, frame.Out())) ||
      FAILED(factory->CreateFormatConverter(converter.Out())) ||
      FAILED(converter->Initialize(frame.get(), format, WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom)) ||
      FAILED(converter->GetSize(&pixels.width, &pixels.height))) {
    return {};
  }
  pixels.bgra.resize(static_cast<std::size_t>(pixels.width) * pixels.height * 4);
  if (FAILED(converter->CopyPixels(nullptr, pixels.width * 4, static_cast<UINT>(pixels.bgra.size()),
                                   pixels.bgra.data()))) {
    return {};
  }
  return pixels;
}

// A 32-bit bitmap holding `pixels`, rows from the top.
HBITMAP MakeBitmap(const Pixels& pixels) {
  if (pixels.bgra.empty()) return nullptr;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = static_cast<LONG>(pixels.width);
  info.bmiHeader.biHeight = -static_cast<LONG>(pixels.height);
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (bitmap != nullptr) std::memcpy(bits, pixels.bgra.data(), pixels.bgra.size());
  return bitmap;
}

// An icon of the PNG of resource `id`; null when it cannot be decoded.
HICON DecodeIcon(int id, int& width, int& height) {
  // Icons take straight, not premultiplied, alpha.
  const Pixels pixels = DecodePng(id, GUID_WICPixelFormat32bppBGRA);
  HBITMAP colour = MakeBitmap(pixels);
  if (colour == nullptr) return nullptr;
  width = static_cast<int>(pixels.width);
  height = static_cast<int>(pixels.height);
  HBITMAP mask = CreateBitmap(width, height, 1, 1, nullptr);
  ICONINFO info{};
  info.fIcon = TRUE;
  info.hbmMask = mask;
  info.hbmColor = colour;
  HICON icon = CreateIconIndirect(&info);
  DeleteObject(mask);
  DeleteObject(colour);
  return icon;
}

}  // namespace

const Picture& ProgramPicture(int id) {
  static std::map<int, Picture> pictures;
  const auto found = pictures.find(id);
  if (found != pictures.end()) return found->second;
  Picture picture;
  picture.icon = DecodeIcon(id, picture.width, picture.height);
  if (picture.icon == nullptr) picture = Picture{};
  return pictures.emplace(id, picture).first->second;
}

void DrawPicture(HDC dc, const Picture& picture, int x, int y) {
  if (picture.icon == nullptr) return;
  DrawIconEx(dc, x, y, picture.icon, picture.width, picture.height, 0, nullptr, DI_NORMAL);
}

HICON IconFromPicture(int id) {
  int width = 0;
  int height = 0;
  HICON icon = DecodeIcon(id, width, height);
  return icon != nullptr ? icon : LoadIconW(nullptr, IDI_APPLICATION);
}

}  // namespace drv::win32
