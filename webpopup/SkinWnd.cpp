// The skinned window: nine-piece frame, shaped region, painting, the close
// button and dragging by the caption line.
#include "WebWnd.h"

#include <climits>
#include <utility>
#include <vector>

#include "resource.h"

namespace {

constexpr int kCorner = 32;
constexpr COLORREF kTransparent = RGB(255, 0, 255);
constexpr int kRectsPerRegion = 2000;
constexpr DWORD kRectGrowth = 100;

using CGlobalBlock = kit::CUniqueHandle<kit::tagHandleTraits<HGLOBAL, nullptr, GlobalFree>>;

// Accumulates one-pixel-high rectangles in a moveable RGNDATA block and
// merges them into one region every kRectsPerRegion rectangles.
class CRegionBuilder {
public:
    ~CRegionBuilder() { Unlock(); }

    bool Start() {
        capacity_ = kRectGrowth;
        block_.Reset(GlobalAlloc(GMEM_MOVEABLE, BlockSize()));
        if (!block_ || !Lock()) return false;
        ResetHeader();
        return true;
    }

    bool Add(int left, int top, int right, int bottom) {
        if (data_->rdh.nCount == capacity_) {
            Unlock();
            capacity_ += kRectGrowth;
            HGLOBAL grown = GlobalReAlloc(block_.Get(), BlockSize(), GMEM_MOVEABLE);
            if (!grown) return false;
            // The old handle is gone with the reallocation.
            block_.Release();
            block_.Reset(grown);
            if (!Lock()) return false;
        }
        RECT* rects = reinterpret_cast<RECT*>(data_->Buffer);
        rects[data_->rdh.nCount++] = {left, top, right, bottom};
        RECT& bounds = data_->rdh.rcBound;
        if (left < bounds.left) bounds.left = left;
        if (top < bounds.top) bounds.top = top;
        if (right > bounds.right) bounds.right = right;
        bounds.bottom = bottom;
        return data_->rdh.nCount < kRectsPerRegion || Flush();
    }

    // Merges the pending rectangles into the accumulated region.
    bool Flush() {
        if (data_->rdh.nCount == 0) return true;
        kit::CGdiObject<HRGN> part(ExtCreateRegion(nullptr, BlockSize(), data_));
        if (!part) return false;
        if (region_) {
            CombineRgn(region_.Get(), region_.Get(), part.Get(), RGN_OR);
        } else {
            region_ = std::move(part);
        }
        ResetHeader();
        return true;
    }

    HRGN TakeRegion() { return region_ ? region_.Release() : CreateRectRgn(0, 0, 0, 0); }

private:
    DWORD BlockSize() const { return sizeof(RGNDATAHEADER) + sizeof(RECT) * capacity_; }

    bool Lock() {
        data_ = static_cast<RGNDATA*>(GlobalLock(block_.Get()));
        return data_ != nullptr;
    }
    void Unlock() {
        if (data_) GlobalUnlock(block_.Get());
        data_ = nullptr;
    }
    void ResetHeader() {
        data_->rdh.dwSize = sizeof(RGNDATAHEADER);
        data_->rdh.iType = RDH_RECTANGLES;
        data_->rdh.nCount = 0;
        data_->rdh.nRgnSize = 0;
        SetRect(&data_->rdh.rcBound, LONG_MAX, LONG_MAX, 0, 0);
    }

    CGlobalBlock block_;
    RGNDATA* data_ = nullptr;
    DWORD capacity_ = 0;
    kit::CGdiObject<HRGN> region_;
};

}  // namespace

HRGN CreateRegionFromBitmap(HDC dc, HBITMAP bitmap, int width, int height) {
    if (width <= 0 || height <= 0) return nullptr;
    std::vector<DWORD> pixels;
    try {
        pixels.resize(static_cast<size_t>(width) * height);
    } catch (...) {
        return nullptr;
    }
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    if (GetDIBits(dc, bitmap, 0, height, pixels.data(), &info, DIB_RGB_COLORS) != height) return nullptr;

    CRegionBuilder builder;
    if (!builder.Start()) return nullptr;
    for (int y = 0; y < height; ++y) {
        const DWORD* row = pixels.data() + static_cast<size_t>(height - 1 - y) * width;
        for (int x = 0; x < width;) {
            while (x < width && (row[x] & 0xFFFFFF) == 0xFF00FF) ++x;
            const int start = x;
            while (x < width && (row[x] & 0xFFFFFF) != 0xFF00FF) ++x;
            if (x > start && !builder.Add(start, y, x, y + 1)) return nullptr;
        }
    }
    if (!builder.Flush()) return nullptr;
    return builder.TakeRegion();
}

bool CWebWnd::DrawFrame(HDC windowDc, int width, int height) {
    frameDc_.Reset(CreateCompatibleDC(windowDc));
    if (!frameDc_) return false;
    frameBitmap_.Reset(CreateCompatibleBitmap(windowDc, width, height));
    if (!frameBitmap_) return false;
    frameSelection_ = kit::CSelectObject(frameDc_.Get(), frameBitmap_.Get());

    kit::CGdiObject<HBITMAP> skin(
        LoadBitmapW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDB_VISTREL_FRAME)));
    if (!skin) return false;
    BITMAP size = {};
    GetObjectW(skin.Get(), sizeof(size), &size);
    const int sw = size.bmWidth;
    const int sh = size.bmHeight;
    kit::CMemoryDc skinDc(CreateCompatibleDC(windowDc));
    if (!skinDc) return false;
    kit::CSelectObject selected(skinDc.Get(), skin.Get());

    HDC dst = frameDc_.Get();
    HDC src = skinDc.Get();
    const int oldMode = SetStretchBltMode(dst, COLORONCOLOR);
    const int c = kCorner;
    BitBlt(dst, 0, 0, c, c, src, 0, 0, SRCCOPY);
    StretchBlt(dst, c, 0, width - 2 * c, c, src, c, 0, sw - 2 * c, c, SRCCOPY);
    BitBlt(dst, width - c, 0, c, c, src, sw - c, 0, SRCCOPY);
    StretchBlt(dst, 0, c, c, height - 2 * c, src, 0, c, c, sh - 2 * c, SRCCOPY);
    StretchBlt(dst, c, c, width - 2 * c, height - 2 * c, src, c, c, sw - 2 * c, sh - 2 * c, SRCCOPY);
    StretchBlt(dst, width - c, c, c, height - 2 * c, src, sw - c, c, c, sh - 2 * c, SRCCOPY);
    BitBlt(dst, 0, height - c, c, c, src, 0, sh - c, SRCCOPY);
    StretchBlt(dst, c, height - c, width - 2 * c, c, src, c, sh - c, sw - 2 * c, c, SRCCOPY);
    BitBlt(dst, width - c, height - c, c, c, src, sw - c, sh - c, SRCCOPY);
    SetStretchBltMode(dst, oldMode);
    return true;
}

bool CWebWnd::BuildRegion(int width, int height) {
    kit::CGdiObject<HRGN> region(CreateRegionFromBitmap(frameDc_.Get(), frameBitmap_.Get(), width, height));
    if (!region) return false;
    // Once set, the region belongs to the window.
    if (SetWindowRgn(window_.Get(), region.Get(), FALSE)) region.Release();
    return true;
}

void CWebWnd::Paint(HDC paintDc) {
    RECT client = {};
    GetClientRect(window_.Get(), &client);
    const int width = client.right;
    const int height = client.bottom;
    kit::CMemoryDc composeDc(CreateCompatibleDC(paintDc));
    kit::CGdiObject<HBITMAP> composeBitmap(CreateCompatibleBitmap(paintDc, width, height));
    if (!composeDc || !composeBitmap) return;
    kit::CSelectObject selected(composeDc.Get(), composeBitmap.Get());
    HDC dc = composeDc.Get();

    BitBlt(dc, 0, 0, width, height, frameDc_.Get(), 0, 0, SRCCOPY);

    kit::CMemoryDc stripDc(CreateCompatibleDC(paintDc));
    if (stripDc) {
        kit::CSelectObject strip(stripDc.Get(), buttonStrip_.Get());
        TransparentBlt(dc, buttonX_, buttonY_, buttonWidth_, buttonHeight_, stripDc.Get(),
                       buttonState_ * buttonWidth_, 0, buttonWidth_, buttonHeight_, kTransparent);
    }

    kit::CSelectObject font(dc, font_.Get());
    SetBkMode(dc, TRANSPARENT);
    const COLORREF oldColor = SetTextColor(dc, RGB(255, 255, 255));
    RECT text = {8, 0, buttonX_ - 8, kCaptionHeight};
    DrawTextW(dc, caption_.c_str(), static_cast<int>(caption_.size()), &text,
              DT_SINGLELINE | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
    SetTextColor(dc, oldColor);

    BitBlt(paintDc, 0, 0, width, height, dc, 0, 0, SRCCOPY);
}

RECT CWebWnd::ButtonRect() const {
    return {buttonX_, buttonY_, buttonX_ + buttonWidth_, buttonY_ + buttonHeight_};
}

bool CWebWnd::IsOverButton(unsigned x, unsigned y) const {
    return static_cast<int>(x) >= buttonX_ && static_cast<int>(x) < buttonX_ + buttonWidth_ &&
           static_cast<int>(y) >= buttonY_ && static_cast<int>(y) < buttonY_ + buttonHeight_;
}

void CWebWnd::InvalidateButton() {
    RECT area = ButtonRect();
    InflateRect(&area, 1, 1);
    InvalidateRect(window_.Get(), &area, FALSE);
}

void CWebWnd::SetButtonState(int state) {
    buttonState_ = state;
    InvalidateButton();
}

void CWebWnd::OnMouseMove(unsigned x, unsigned y) {
    if (IsOverButton(x, y)) {
        // Capturing again would send WM_CAPTURECHANGED to ourselves and knock
        // a pressed button back to normal in the middle of a click.
        if (GetCapture() != window_.Get()) SetCapture(window_.Get());
        if (buttonState_ == ButtonNormal) SetButtonState(ButtonHover);
        return;
    }
    if (buttonState_ != ButtonNormal) SetButtonState(ButtonNormal);
    ReleaseCapture();
}

void CWebWnd::OnLeftButtonDown(unsigned x, unsigned y) {
    if (IsOverButton(x, y)) {
        if (buttonState_ != ButtonPressed) SetButtonState(ButtonPressed);
        return;
    }
    if (buttonState_ != ButtonNormal) SetButtonState(ButtonNormal);
    if (static_cast<int>(y) < kCaptionHeight) {
        ReleaseCapture();
        SendMessageW(window_.Get(), WM_NCLBUTTONDOWN, HTCAPTION, 0);
        InvalidateRect(window_.Get(), nullptr, FALSE);
    }
}

void CWebWnd::OnLeftButtonUp(unsigned x, unsigned y) {
    if (IsOverButton(x, y)) {
        if (buttonState_ != ButtonHover) SetButtonState(ButtonHover);
        PostMessageW(window_.Get(), WM_CLOSE, 0, 0);
        return;
    }
    if (buttonState_ != ButtonNormal) SetButtonState(ButtonNormal);
}

LRESULT CWebWnd::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    const unsigned x = LOWORD(lParam);
    const unsigned y = HIWORD(lParam);
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(window_.Get(), &ps);
            if (dc) Paint(dc);
            EndPaint(window_.Get(), &ps);
            return 0;
        }
        case WM_ERASEBKGND:
            return 1;
        case WM_MOUSEMOVE:
            OnMouseMove(x, y);
            break;
        case WM_LBUTTONDOWN:
            OnLeftButtonDown(x, y);
            break;
        case WM_LBUTTONUP:
            OnLeftButtonUp(x, y);
            break;
        case WM_CAPTURECHANGED:
            if (buttonState_ != ButtonNormal) {
                buttonState_ = ButtonNormal;
                InvalidateRect(window_.Get(), nullptr, FALSE);
            }
            break;
        case WM_DESTROY:
            PostQuitMessage(1);
            break;
    }
    return DefWindowProcW(window_.Get(), message, wParam, lParam);
}

LRESULT CALLBACK CWebWnd::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<CWebWnd*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self) return DefWindowProcW(window, message, wParam, lParam);
    return self->OnMessage(message, wParam, lParam);
}
