// The browser control's container site: creation, in-place activation, the
// stripped-down UI and the two navigation events that matter.
#include "WebWnd.h"

#include <mshtml.h>

#include <cstddef>
#include <iterator>

namespace {

constexpr DISPID kBeforeNavigate2 = 250;
constexpr DISPID kDocumentComplete = 259;
constexpr DWORD kHostUiFlags = DOCHOSTUIFLAG_NO3DBORDER | DOCHOSTUIFLAG_SCROLL_NO | DOCHOSTUIFLAG_OPENNEWWIN |
                               DOCHOSTUIFLAG_THEME | DOCHOSTUIFLAG_NO3DOUTERBORDER;
static_assert(kHostUiFlags == 0x24002C, "host UI flags");

// Follows VT_BYREF | VT_VARIANT links to the VARIANT that holds the value.
const VARIANT* Unwrap(const VARIANT* v) {
    while (v && v->vt == (VT_BYREF | VT_VARIANT)) v = v->pvarVal;
    return v;
}

BSTR StringOf(const VARIANT& arg) {
    const VARIANT* v = Unwrap(&arg);
    if (!v) return nullptr;
    if (v->vt == VT_BSTR) return v->bstrVal;
    if (v->vt == (VT_BYREF | VT_BSTR) && v->pbstrVal) return *v->pbstrVal;
    return nullptr;
}

// The object's identity, for comparison only: the caller's reference keeps
// it alive.
IUnknown* IdentityOf(IUnknown* object) {
    kit::CComPtr<IUnknown> identity;
    if (!object || FAILED(object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))))
        return nullptr;
    return identity.Get();
}

}  // namespace

STDMETHODIMP CWebWnd::QueryInterface(REFIID iid, void** object) {
    struct tagInterfaceEntry {
        const IID* iid;
        void* (*cast)(CWebWnd*);
    };
    static const tagInterfaceEntry kTable[] = {
        {&IID_IUnknown, [](CWebWnd* p) -> void* { return static_cast<IOleClientSite*>(p); }},
        {&IID_IOleClientSite, [](CWebWnd* p) -> void* { return static_cast<IOleClientSite*>(p); }},
        {&IID_IDispatch, [](CWebWnd* p) -> void* { return static_cast<DWebBrowserEvents2*>(p); }},
        {&DIID_DWebBrowserEvents2, [](CWebWnd* p) -> void* { return static_cast<DWebBrowserEvents2*>(p); }},
        {&IID_IOleInPlaceSite, [](CWebWnd* p) -> void* { return static_cast<IOleInPlaceSite*>(p); }},
        {&IID_IOleInPlaceFrame, [](CWebWnd* p) -> void* { return static_cast<IOleInPlaceFrame*>(p); }},
        {&IID_IOleInPlaceUIWindow, [](CWebWnd* p) -> void* { return static_cast<IOleInPlaceFrame*>(p); }},
        {&IID_IDocHostUIHandler, [](CWebWnd* p) -> void* { return static_cast<IDocHostUIHandler2*>(p); }},
        {&IID_IDocHostUIHandler2, [](CWebWnd* p) -> void* { return static_cast<IDocHostUIHandler2*>(p); }},
    };
    if (!object) return E_POINTER;
    *object = nullptr;
    for (const tagInterfaceEntry& entry : kTable) {
        if (IsEqualIID(iid, *entry.iid)) {
            *object = entry.cast(this);
            return S_OK;
        }
    }
    return E_NOINTERFACE;
}

STDMETHODIMP CWebWnd::GetWindow(HWND* window) {
    if (!window) return E_POINTER;
    *window = window_.Get();
    return S_OK;
}

STDMETHODIMP CWebWnd::GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, RECT*, RECT*,
                                       OLEINPLACEFRAMEINFO* frameInfo) {
    if (!frame || !document || !frameInfo) return E_POINTER;
    *frame = static_cast<IOleInPlaceFrame*>(this);
    *document = nullptr;
    frameInfo->cb = sizeof(OLEINPLACEFRAMEINFO);
    frameInfo->fMDIApp = FALSE;
    static_cast<IOleInPlaceFrame*>(this)->GetWindow(&frameInfo->hwndFrame);
    frameInfo->haccel = nullptr;
    frameInfo->cAccelEntries = 0;
    return S_OK;
}

STDMETHODIMP CWebWnd::GetHostInfo(DOCHOSTUIINFO* info) {
    if (!info) return E_POINTER;
    info->dwFlags |= kHostUiFlags;
    return S_OK;
}

STDMETHODIMP CWebWnd::UpdateUI() {
    InvalidateRect(window_.Get(), nullptr, FALSE);
    return S_OK;
}

STDMETHODIMP CWebWnd::GetOptionKeyPath(LPOLESTR* key, DWORD) {
    if (key) *key = nullptr;
    return S_OK;
}

STDMETHODIMP CWebWnd::GetDropTarget(IDropTarget*, IDropTarget** target) {
    if (target) *target = nullptr;
    return S_OK;
}

STDMETHODIMP CWebWnd::GetExternal(IDispatch** external) {
    if (external) *external = nullptr;
    return S_OK;
}

STDMETHODIMP CWebWnd::TranslateUrl(DWORD, LPWSTR, LPWSTR* translated) {
    if (translated) *translated = nullptr;
    return S_OK;
}

bool CWebWnd::CreateBrowser() {
    RECT client = {};
    GetClientRect(window_.Get(), &client);
    const int width = client.right;
    const int height = client.bottom;

    kit::CComPtr<IOleObject> oleObject;
    kit::CComPtr<IOleWindow> oleWindow;
    kit::CComPtr<IConnectionPointContainer> container;
    kit::CComPtr<IConnectionPoint> point;
    bool ready = false;
    HRESULT hr = CoCreateInstance(CLSID_WebBrowser, nullptr,
                                  CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER,
                                  IID_IWebBrowser2, reinterpret_cast<void**>(&browser_));
    do {
        if (FAILED(hr) || !browser_) break;
        if (FAILED(browser_->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(&oleObject)))) break;
        if (FAILED(oleObject->SetClientSite(static_cast<IOleClientSite*>(this)))) break;
        OleSetContainedObject(oleObject.Get(), TRUE);

        HWND site = nullptr;
        static_cast<IOleInPlaceSite*>(this)->GetWindow(&site);
        // Activated off to the left of the client area, then moved into place.
        RECT activation = {kBorderWidth - width, kCaptionHeight, 0, height - kBorderWidth};
        if (FAILED(oleObject->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, static_cast<IOleClientSite*>(this), 0,
                                     site, &activation)))
            break;
        if (FAILED(oleObject->QueryInterface(IID_IOleWindow, reinterpret_cast<void**>(&oleWindow)))) break;
        if (FAILED(oleWindow->GetWindow(browserWindow_.Put()))) break;
        if (FAILED(browser_->QueryInterface(IID_IOleInPlaceActiveObject,
                                            reinterpret_cast<void**>(&activeObject_))))
            break;
        SetWindowPos(browserWindow_.Get(), nullptr, kBorderWidth, kCaptionHeight, width - 2 * kBorderWidth,
                     height - kCaptionHeight - kBorderWidth, SWP_NOZORDER);
        if (FAILED(browser_->QueryInterface(IID_IConnectionPointContainer,
                                            reinterpret_cast<void**>(&container))))
            break;
        if (FAILED(container->FindConnectionPoint(DIID_DWebBrowserEvents2, &point))) break;
        DWORD cookie = 0;
        if (FAILED(point->Advise(static_cast<DWebBrowserEvents2*>(this), &cookie))) break;
        ready = true;
    } while (false);

    bool navigated = false;
    if (ready) {
        browser_->put_MenuBar(VARIANT_FALSE);
        browser_->put_AddressBar(VARIANT_FALSE);
        browser_->put_StatusBar(VARIANT_FALSE);
        browser_->put_ToolBar(0);
        browser_->put_Silent(VARIANT_TRUE);

        VARIANT url;
        VariantInit(&url);
        url.vt = VT_BSTR;
        url.bstrVal = SysAllocString(url_.c_str());
        VARIANT empty;
        VariantInit(&empty);
        navigated = url.bstrVal && SUCCEEDED(browser_->Navigate2(&url, &empty, &empty, &empty, &empty));
        VariantClear(&url);
    }
    if (!ready) ReleaseBrowser();
    return navigated;
}

void CWebWnd::ReleaseBrowser() {
    activeObject_.Reset();
    if (browser_) {
        browser_->Quit();
        browser_.Reset();
    }
    browserWindow_.Reset();
}

STDMETHODIMP CWebWnd::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*, UINT*) {
    if (!params || !params->rgvarg) return S_OK;
    // Arguments arrive last first.
    if (id == kBeforeNavigate2 && params->cArgs >= 7) OnBeforeNavigate2(params->rgvarg);
    if (id == kDocumentComplete && params->cArgs >= 2) OnDocumentComplete(params->rgvarg);
    return S_OK;
}

bool CWebWnd::IsTopLevelFrame(const VARIANT& frame) const {
    const VARIANT* v = Unwrap(&frame);
    if (!v || !browser_) return false;
    IDispatch* dispatch = nullptr;
    if (v->vt == VT_DISPATCH) dispatch = v->pdispVal;
    if (v->vt == (VT_BYREF | VT_DISPATCH) && v->ppdispVal) dispatch = *v->ppdispVal;
    if (!dispatch) return false;
    return dispatch == browser_.Get() || IdentityOf(dispatch) == IdentityOf(browser_.Get());
}

// args: [6] frame, [5] URL, [4] flags, [3] target frame, [2] post data,
// [1] headers, [0] cancel.
void CWebWnd::OnBeforeNavigate2(VARIANT* args) {
    if (!IsTopLevelFrame(args[6])) return;
    const BSTR url = StringOf(args[5]);

    const BYTE* data = nullptr;
    DWORD size = 0;
    SAFEARRAY* array = nullptr;
    const VARIANT* postData = args[2].vt == (VT_BYREF | VT_VARIANT) ? args[2].pvarVal : &args[2];
    if (postData && postData->vt == (VT_BYREF | VT_VARIANT) && postData->pvarVal &&
        postData->pvarVal->vt != VT_EMPTY && (postData->pvarVal->vt & VT_ARRAY) &&
        !(postData->pvarVal->vt & VT_BYREF))
        array = postData->pvarVal->parray;
    void* elements = nullptr;
    if (array && SUCCEEDED(SafeArrayAccessData(array, &elements))) {
        LONG lower = 0;
        LONG upper = -1;
        if (SUCCEEDED(SafeArrayGetLBound(array, 1, &lower)) &&
            SUCCEEDED(SafeArrayGetUBound(array, 1, &upper)) && upper >= lower) {
            data = static_cast<const BYTE*>(elements);
            size = static_cast<DWORD>(upper - lower + 1);
        }
    } else {
        array = nullptr;
    }

    const bool cancel = NotifyParent(url ? url : L"", data, size);
    if (array) SafeArrayUnaccessData(array);
    VARIANT& cancelArg = args[0];
    if (cancelArg.vt == (VT_BYREF | VT_BOOL) && cancelArg.pboolVal)
        *cancelArg.pboolVal = cancel ? VARIANT_TRUE : VARIANT_FALSE;
}

// args: [1] frame, [0] URL.
void CWebWnd::OnDocumentComplete(VARIANT* args) {
    if (!IsTopLevelFrame(args[1]) || !StringOf(args[0])) return;
    kit::CComPtr<IDispatch> document;
    if (FAILED(browser_->get_Document(&document)) || !document) return;

    std::wstring text = title_;
    kit::CComPtr<IHTMLDocument2> html;
    if (SUCCEEDED(document.As(IID_IHTMLDocument2, reinterpret_cast<void**>(&html)))) {
        BSTR pageTitle = nullptr;
        if (SUCCEEDED(html->get_title(&pageTitle)) && pageTitle && SysStringLen(pageTitle) > 0)
            text = title_ + L" ——" + std::wstring(pageTitle, SysStringLen(pageTitle));
        SysFreeString(pageTitle);
    }
    caption_ = text;
    InvalidateRect(window_.Get(), nullptr, FALSE);
}
