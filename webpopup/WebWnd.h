// The pop-up window of Vistrel.exe: a skinned window that hosts the system's
// web browser control and offers every top-level navigation to its parent.
#pragma once

#include <windows.h>
#include <exdisp.h>
#include <mshtmhst.h>
#include <oleidl.h>

#include <string>

#include "base/ComPtr.h"
#include "base/SelectObject.h"
#include "base/UniqueHandle.h"

// Message sent to the parent for each top-level navigation: wParam 2, lParam
// the number that names the notification block (the tick count, or the
// first number after it whose name was free).
constexpr UINT WM_POPUP_NAVIGATE = 0x21F1;
constexpr wchar_t kVistrelClassName[] = L"__vs_vistrel_wnd_class__";
constexpr wchar_t kNotifyNameFormat[] = L"Vistrel_notify_%u";
// Numbers tried for the block's name, from the tick count on.
constexpr unsigned kNotifyNameAttempts = 16;

// Browser area inset inside the window.
constexpr int kCaptionHeight = 32;
constexpr int kBorderWidth = 5;

// Builds a region of one-pixel-high rectangles covering every pixel of
// `bitmap` (W x H, readable through `dc`) that is not magenta. Null on an
// allocation failure.
HRGN CreateRegionFromBitmap(HDC dc, HBITMAP bitmap, int width, int height);

class CWebWnd : public IOleClientSite,
                public IOleInPlaceSite,
                public IOleInPlaceFrame,
                public DWebBrowserEvents2,
                public IDocHostUIHandler2 {
public:
    enum { ButtonNormal = 0, ButtonPressed = 1, ButtonHover = 2 };

    CWebWnd();
    ~CWebWnd();
    CWebWnd(const CWebWnd&) = delete;
    CWebWnd& operator=(const CWebWnd&) = delete;

    // Start-up from the process command line.
    bool Create(HINSTANCE instance);
    // Start-up from the given command line (argument 0 is the program).
    bool Create(HINSTANCE instance, const wchar_t* commandLine);
    // Runs until WM_QUIT and returns its wParam.
    int MessageLoop();
    void Destroy();
    // Offers a navigation to the parent; true when the parent cancels it, or
    // when no notification block could be made (the parent was not asked).
    bool NotifyParent(const wchar_t* url, const BYTE* data, DWORD size);

    HWND Window() const { return window_.Get(); }
    HWND BrowserWindow() const { return browserWindow_.Get(); }
    HWND Parent() const { return parent_; }
    const std::wstring& Url() const { return url_; }
    const std::wstring& Caption() const { return caption_; }
    int ButtonState() const { return buttonState_; }
    RECT ButtonRect() const;

    // IUnknown (shared by all five interfaces; the object is not refcounted)
    STDMETHODIMP QueryInterface(REFIID iid, void** object) override;
    STDMETHODIMP_(ULONG) AddRef() override { return 1; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    // IOleClientSite
    STDMETHODIMP SaveObject() override { return S_OK; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer**) override { return E_NOTIMPL; }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return S_OK; }

    // IOleWindow (IOleInPlaceSite and IOleInPlaceFrame)
    STDMETHODIMP GetWindow(HWND* window) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, RECT* position,
                                  RECT* clip, OLEINPLACEFRAMEINFO* frameInfo) override;
    STDMETHODIMP Scroll(SIZE) override { return S_OK; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
    STDMETHODIMP DiscardUndoState() override { return S_OK; }
    STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

    // IOleInPlaceUIWindow and IOleInPlaceFrame
    STDMETHODIMP GetBorder(RECT*) override { return E_NOTIMPL; }
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) override { return S_OK; }
    STDMETHODIMP InsertMenus(HMENU, OLEMENUGROUPWIDTHS*) override { return E_NOTIMPL; }
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return E_NOTIMPL; }
    STDMETHODIMP RemoveMenus(HMENU) override { return E_NOTIMPL; }
    STDMETHODIMP SetStatusText(LPCOLESTR) override { return E_NOTIMPL; }
    STDMETHODIMP EnableModeless(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*, WORD) override { return E_NOTIMPL; }

    // IDispatch (DWebBrowserEvents2)
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override;

    // IDocHostUIHandler and IDocHostUIHandler2
    STDMETHODIMP ShowContextMenu(DWORD, POINT*, IUnknown*, IDispatch*) override { return S_OK; }
    STDMETHODIMP GetHostInfo(DOCHOSTUIINFO* info) override;
    STDMETHODIMP ShowUI(DWORD, IOleInPlaceActiveObject*, IOleCommandTarget*, IOleInPlaceFrame*,
                        IOleInPlaceUIWindow*) override {
        return S_OK;
    }
    STDMETHODIMP HideUI() override { return S_OK; }
    STDMETHODIMP UpdateUI() override;
    STDMETHODIMP OnDocWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnFrameWindowActivate(BOOL) override { return S_OK; }
    STDMETHODIMP ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, const GUID*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP GetOptionKeyPath(LPOLESTR* key, DWORD) override;
    STDMETHODIMP GetDropTarget(IDropTarget*, IDropTarget** target) override;
    STDMETHODIMP GetExternal(IDispatch** external) override;
    STDMETHODIMP TranslateUrl(DWORD, LPWSTR, LPWSTR* translated) override;
    STDMETHODIMP FilterDataObject(IDataObject*, IDataObject**) override { return E_NOTIMPL; }
    STDMETHODIMP GetOverrideKeyPath(LPOLESTR*, DWORD) override { return E_NOTIMPL; }

private:
    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static void CALLBACK ParentWatchProc(HWND, UINT, UINT_PTR, DWORD);

    LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void OnMouseMove(unsigned x, unsigned y);
    void OnLeftButtonDown(unsigned x, unsigned y);
    void OnLeftButtonUp(unsigned x, unsigned y);
    bool IsOverButton(unsigned x, unsigned y) const;
    void SetButtonState(int state);
    void InvalidateButton();

    bool DrawFrame(HDC windowDc, int width, int height);
    bool BuildRegion(int width, int height);
    void Paint(HDC paintDc);

    bool CreateBrowser();
    void ReleaseBrowser();
    void OnBeforeNavigate2(VARIANT* args);
    void OnDocumentComplete(VARIANT* args);
    bool IsTopLevelFrame(const VARIANT& frame) const;

    kit::CWindowHandle window_;
    std::wstring url_;
    std::wstring title_;
    std::wstring caption_;
    kit::CGdiObject<HBITMAP> buttonStrip_;
    // The back buffer: the frame bitmap selected into its memory DC.
    kit::CGdiObject<HBITMAP> frameBitmap_;
    kit::CMemoryDc frameDc_;
    kit::CSelectObject frameSelection_;
    kit::CGdiObject<HFONT> font_;
    int buttonState_ = ButtonNormal;
    int buttonWidth_ = 0;
    int buttonHeight_ = 0;
    int buttonX_ = 0;
    int buttonY_ = 0;
    kit::CWindowHandle browserWindow_;
    HWND parent_ = nullptr;
    kit::CComPtr<IWebBrowser2> browser_;
    kit::CComPtr<IOleInPlaceActiveObject> activeObject_;
};
