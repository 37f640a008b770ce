// The fake browser control, written against the C vtables so that only the
// slots the host uses need an implementation.
#define CINTERFACE
#define COBJMACROS
#include "fake_browser.h"

#include <exdisp.h>
#include <mshtml.h>
#include <ocidl.h>
#include <oleidl.h>

#include <cstddef>
#include <utility>
#include <utility>

namespace {

tagFakeBrowserLog g_log;

struct tagFakeBrowser {
    IWebBrowser2 browser;
    IOleObject oleObject;
    IOleWindow oleWindow;
    IOleInPlaceActiveObject activeObject;
    IConnectionPointContainer container;
    IConnectionPoint point;
    LONG refs;
    IOleClientSite* site;
    IDispatch* sink;
};

tagFakeBrowser* g_current = nullptr;

template <typename I>
tagFakeBrowser* Outer(I* part, size_t offset) {
    return reinterpret_cast<tagFakeBrowser*>(reinterpret_cast<char*>(part) - offset);
}
#define OUTER(p, member) Outer(p, offsetof(tagFakeBrowser, member))

ULONG AddRefObject(tagFakeBrowser* self) {
    return ++self->refs;
}

ULONG ReleaseObject(tagFakeBrowser* self) {
    const ULONG refs = --self->refs;
    g_log.lastRelease = refs;
    if (refs == 0) {
        if (self->sink) IDispatch_Release(self->sink);
        if (self->site) IOleClientSite_Release(self->site);
        if (g_current == self) g_current = nullptr;
        --g_log.objectsAlive;
        delete self;
    }
    return refs;
}

HRESULT QueryObject(tagFakeBrowser* self, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, IID_IWebBrowser2) || IsEqualIID(iid, IID_IWebBrowserApp) ||
        IsEqualIID(iid, IID_IWebBrowser))
        *out = &self->browser;
    else if (IsEqualIID(iid, IID_IOleObject))
        *out = &self->oleObject;
    else if (IsEqualIID(iid, IID_IOleWindow) || IsEqualIID(iid, IID_IOleInPlaceObject))
        *out = &self->oleWindow;
    else if (IsEqualIID(iid, IID_IOleInPlaceActiveObject))
        *out = &self->activeObject;
    else if (IsEqualIID(iid, IID_IConnectionPointContainer))
        *out = &self->container;
    else
        return E_NOINTERFACE;
    AddRefObject(self);
    return S_OK;
}

// QueryInterface, AddRef and Release of one part, forwarded to the object.
#define FAKE_UNKNOWN(Prefix, Interface, member)                                     \
    HRESULT STDMETHODCALLTYPE Prefix##Query(Interface* p, REFIID iid, void** out) { \
        return QueryObject(OUTER(p, member), iid, out);                             \
    }                                                                               \
    ULONG STDMETHODCALLTYPE Prefix##AddRef(Interface* p) {                          \
        return AddRefObject(OUTER(p, member));                                      \
    }                                                                               \
    ULONG STDMETHODCALLTYPE Prefix##Release(Interface* p) {                         \
        return ReleaseObject(OUTER(p, member));                                     \
    }

// IWebBrowser2
FAKE_UNKNOWN(Br, IWebBrowser2, browser)
HRESULT STDMETHODCALLTYPE BrPutMenuBar(IWebBrowser2*, VARIANT_BOOL v) {
    g_log.calls.push_back(L"MenuBar=" + std::to_wstring(v));
    return S_OK;
}
HRESULT STDMETHODCALLTYPE BrPutAddressBar(IWebBrowser2*, VARIANT_BOOL v) {
    g_log.calls.push_back(L"AddressBar=" + std::to_wstring(v));
    return S_OK;
}
HRESULT STDMETHODCALLTYPE BrPutStatusBar(IWebBrowser2*, VARIANT_BOOL v) {
    g_log.calls.push_back(L"StatusBar=" + std::to_wstring(v));
    return S_OK;
}
HRESULT STDMETHODCALLTYPE BrPutToolBar(IWebBrowser2*, int v) {
    g_log.calls.push_back(L"ToolBar=" + std::to_wstring(v));
    return S_OK;
}
HRESULT STDMETHODCALLTYPE BrPutSilent(IWebBrowser2*, VARIANT_BOOL v) {
    g_log.calls.push_back(L"Silent=" + std::to_wstring(v));
    return S_OK;
}
HRESULT STDMETHODCALLTYPE BrNavigate2(IWebBrowser2*, VARIANT* url, VARIANT*, VARIANT*, VARIANT*, VARIANT*) {
    g_log.calls.push_back(L"Navigate2");
    if (url && url->vt == VT_BSTR && url->bstrVal) g_log.navigatedUrl = url->bstrVal;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE BrQuit(IWebBrowser2*) {
    ++g_log.quitCount;
    return S_OK;
}

// The page's document: IHTMLDocument2 with a title.
struct tagFakeDocument {
    IHTMLDocument2 document;
    LONG refs;
};
HRESULT STDMETHODCALLTYPE DocQuery(IHTMLDocument2* p, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch) &&
        !IsEqualIID(iid, IID_IHTMLDocument2))
        return E_NOINTERFACE;
    *out = p;
    IHTMLDocument2_AddRef(p);
    return S_OK;
}
ULONG STDMETHODCALLTYPE DocAddRef(IHTMLDocument2* p) {
    return ++reinterpret_cast<tagFakeDocument*>(p)->refs;
}
ULONG STDMETHODCALLTYPE DocRelease(IHTMLDocument2* p) {
    auto* self = reinterpret_cast<tagFakeDocument*>(p);
    const ULONG refs = --self->refs;
    if (refs == 0) {
        --g_log.objectsAlive;
        delete self;
    }
    return refs;
}
HRESULT STDMETHODCALLTYPE DocGetTitle(IHTMLDocument2*, BSTR* title) {
    *title = SysAllocString(g_log.documentTitle.c_str());
    return S_OK;
}
IHTMLDocument2Vtbl* DocumentVtbl() {
    static IHTMLDocument2Vtbl vtbl;
    vtbl.QueryInterface = DocQuery;
    vtbl.AddRef = DocAddRef;
    vtbl.Release = DocRelease;
    vtbl.get_title = DocGetTitle;
    return &vtbl;
}
HRESULT STDMETHODCALLTYPE BrGetDocument(IWebBrowser2*, IDispatch** document) {
    *document = nullptr;
    if (!g_log.hasDocument) return S_FALSE;
    auto* doc = new tagFakeDocument{{DocumentVtbl()}, 1};
    ++g_log.objectsAlive;
    *document = reinterpret_cast<IDispatch*>(&doc->document);
    return S_OK;
}

// IOleObject
FAKE_UNKNOWN(Oo, IOleObject, oleObject)
HRESULT STDMETHODCALLTYPE OoSetClientSite(IOleObject* p, IOleClientSite* site) {
    tagFakeBrowser* self = OUTER(p, oleObject);
    if (site) IOleClientSite_AddRef(site);
    if (self->site) IOleClientSite_Release(self->site);
    self->site = site;
    g_log.clientSite = site;
    return S_OK;
}
HRESULT STDMETHODCALLTYPE OoDoVerb(IOleObject*, LONG verb, MSG*, IOleClientSite*, LONG, HWND parent,
                                   LPCRECT rect) {
    g_log.verb = verb;
    g_log.verbParent = parent;
    if (rect) g_log.verbRect = *rect;
    g_log.window = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE, rect ? rect->left : 0,
                                   rect ? rect->top : 0, rect ? rect->right - rect->left : 0,
                                   rect ? rect->bottom - rect->top : 0, parent, nullptr, nullptr, nullptr);
    return S_OK;
}

// IOleWindow
FAKE_UNKNOWN(Ow, IOleWindow, oleWindow)
HRESULT STDMETHODCALLTYPE OwGetWindow(IOleWindow*, HWND* window) {
    *window = g_log.window;
    return S_OK;
}

// IOleInPlaceActiveObject
FAKE_UNKNOWN(Ao, IOleInPlaceActiveObject, activeObject)
HRESULT STDMETHODCALLTYPE AoTranslateAccelerator(IOleInPlaceActiveObject*, MSG*) {
    return S_FALSE;
}

// IConnectionPointContainer and IConnectionPoint
FAKE_UNKNOWN(Cc, IConnectionPointContainer, container)
HRESULT STDMETHODCALLTYPE CcFind(IConnectionPointContainer* p, REFIID iid, IConnectionPoint** point) {
    *point = nullptr;
    if (g_log.failFindConnectionPoint || !IsEqualIID(iid, DIID_DWebBrowserEvents2))
        return CONNECT_E_NOCONNECTION;
    tagFakeBrowser* self = OUTER(p, container);
    *point = &self->point;
    AddRefObject(self);
    return S_OK;
}
FAKE_UNKNOWN(Cp, IConnectionPoint, point)
HRESULT STDMETHODCALLTYPE CpAdvise(IConnectionPoint* p, IUnknown* sink, DWORD* cookie) {
    tagFakeBrowser* self = OUTER(p, point);
    IDispatch* dispatch = nullptr;
    if (FAILED(IUnknown_QueryInterface(sink, IID_IDispatch, reinterpret_cast<void**>(&dispatch))))
        return E_FAIL;
    if (self->sink) IDispatch_Release(self->sink);
    self->sink = dispatch;
    g_log.sink = sink;
    *cookie = 1;
    return S_OK;
}

tagFakeBrowser* NewFakeBrowser() {
    static IWebBrowser2Vtbl browserVtbl;
    static IOleObjectVtbl oleObjectVtbl;
    static IOleWindowVtbl oleWindowVtbl;
    static IOleInPlaceActiveObjectVtbl activeVtbl;
    static IConnectionPointContainerVtbl containerVtbl;
    static IConnectionPointVtbl pointVtbl;
    browserVtbl.QueryInterface = BrQuery;
    browserVtbl.AddRef = BrAddRef;
    browserVtbl.Release = BrRelease;
    browserVtbl.put_MenuBar = BrPutMenuBar;
    browserVtbl.put_AddressBar = BrPutAddressBar;
    browserVtbl.put_StatusBar = BrPutStatusBar;
    browserVtbl.put_ToolBar = BrPutToolBar;
    browserVtbl.put_Silent = BrPutSilent;
    browserVtbl.Navigate2 = BrNavigate2;
    browserVtbl.Quit = BrQuit;
    browserVtbl.get_Document = BrGetDocument;
    oleObjectVtbl.QueryInterface = OoQuery;
    oleObjectVtbl.AddRef = OoAddRef;
    oleObjectVtbl.Release = OoRelease;
    oleObjectVtbl.SetClientSite = OoSetClientSite;
    oleObjectVtbl.DoVerb = OoDoVerb;
    oleWindowVtbl.QueryInterface = OwQuery;
    oleWindowVtbl.AddRef = OwAddRef;
    oleWindowVtbl.Release = OwRelease;
    oleWindowVtbl.GetWindow = OwGetWindow;
    activeVtbl.QueryInterface = AoQuery;
    activeVtbl.AddRef = AoAddRef;
    activeVtbl.Release = AoRelease;
    activeVtbl.TranslateAccelerator = AoTranslateAccelerator;
    containerVtbl.QueryInterface = CcQuery;
    containerVtbl.AddRef = CcAddRef;
    containerVtbl.Release = CcRelease;
    containerVtbl.FindConnectionPoint = CcFind;
    pointVtbl.QueryInterface = CpQuery;
    pointVtbl.AddRef = CpAddRef;
    pointVtbl.Release = CpRelease;
    pointVtbl.Advise = CpAdvise;

    auto* self = new tagFakeBrowser{
        {&browserVtbl}, {&oleObjectVtbl}, {&oleWindowVtbl}, {&activeVtbl}, {&containerVtbl}, {&pointVtbl}, 1,
        nullptr,        nullptr};
    ++g_log.objectsAlive;
    g_current = self;
    return self;
}

// A frame inside the page: a dispatch object that is not the browser.
HRESULT STDMETHODCALLTYPE FrameQuery(IDispatch* p, REFIID iid, void** out) {
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IDispatch)) return E_NOINTERFACE;
    *out = p;
    return S_OK;
}
ULONG STDMETHODCALLTYPE FrameAddRef(IDispatch*) {
    return 1;
}
ULONG STDMETHODCALLTYPE FrameRelease(IDispatch*) {
    return 1;
}
IDispatch* FrameDispatch() {
    static IDispatchVtbl vtbl;
    vtbl.QueryInterface = FrameQuery;
    vtbl.AddRef = FrameAddRef;
    vtbl.Release = FrameRelease;
    static IDispatch frame = {&vtbl};
    return &frame;
}

// Class factory
HRESULT STDMETHODCALLTYPE CfQuery(IClassFactory* p, REFIID iid, void** out) {
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown) && !IsEqualIID(iid, IID_IClassFactory)) return E_NOINTERFACE;
    *out = p;
    return S_OK;
}
ULONG STDMETHODCALLTYPE CfAddRef(IClassFactory*) {
    return 2;
}
ULONG STDMETHODCALLTYPE CfRelease(IClassFactory*) {
    return 1;
}
HRESULT STDMETHODCALLTYPE CfCreateInstance(IClassFactory*, IUnknown* outer, REFIID iid, void** out) {
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    tagFakeBrowser* self = NewFakeBrowser();
    const HRESULT hr = QueryObject(self, iid, out);
    ReleaseObject(self);
    return hr;
}
HRESULT STDMETHODCALLTYPE CfLockServer(IClassFactory*, BOOL) {
    return S_OK;
}

}  // namespace

tagFakeBrowserLog& FakeBrowserLog() {
    return g_log;
}

void ResetFakeBrowserLog() {
    // Swapped, not assigned: a moved-in empty string would keep the old buffer.
    tagFakeBrowserLog fresh;
    std::swap(g_log, fresh);
}

HRESULT RegisterFakeBrowser(DWORD* cookie) {
    static IClassFactoryVtbl vtbl = {CfQuery, CfAddRef, CfRelease, CfCreateInstance, CfLockServer};
    static IClassFactory factory = {&vtbl};
    return CoRegisterClassObject(CLSID_WebBrowser, reinterpret_cast<IUnknown*>(&factory),
                                 CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, cookie);
}

void RevokeFakeBrowser(DWORD cookie) {
    CoRevokeClassObject(cookie);
}

VARIANT_BOOL FireBeforeNavigate2(const wchar_t* url, const std::vector<BYTE>& postData, bool topLevel) {
    VARIANT_BOOL cancel = static_cast<VARIANT_BOOL>(0x5a5a);
    if (!g_current || !g_current->sink) return cancel;

    VARIANT urlValue, flags, target, postArray, postRef, headers;
    VariantInit(&urlValue);
    VariantInit(&flags);
    VariantInit(&target);
    VariantInit(&postArray);
    VariantInit(&postRef);
    VariantInit(&headers);
    urlValue.vt = VT_BSTR;
    urlValue.bstrVal = SysAllocString(url);
    flags.vt = VT_I4;
    if (!postData.empty()) {
        SAFEARRAY* array = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(postData.size()));
        void* bytes = nullptr;
        SafeArrayAccessData(array, &bytes);
        memcpy(bytes, postData.data(), postData.size());
        SafeArrayUnaccessData(array);
        postArray.vt = VT_ARRAY | VT_UI1;
        postArray.parray = array;
    }
    // The real control passes the post data doubly by reference.
    postRef.vt = VT_BYREF | VT_VARIANT;
    postRef.pvarVal = &postArray;

    VARIANT args[7];
    for (VARIANT& arg : args) VariantInit(&arg);
    args[6].vt = VT_DISPATCH;
    args[6].pdispVal = topLevel ? reinterpret_cast<IDispatch*>(&g_current->browser) : FrameDispatch();
    args[5].vt = VT_BYREF | VT_VARIANT;
    args[5].pvarVal = &urlValue;
    args[4].vt = VT_BYREF | VT_VARIANT;
    args[4].pvarVal = &flags;
    args[3].vt = VT_BYREF | VT_VARIANT;
    args[3].pvarVal = &target;
    args[2].vt = VT_BYREF | VT_VARIANT;
    args[2].pvarVal = &postRef;
    args[1].vt = VT_BYREF | VT_VARIANT;
    args[1].pvarVal = &headers;
    args[0].vt = VT_BYREF | VT_BOOL;
    args[0].pboolVal = &cancel;
    DISPPARAMS params = {args, nullptr, 7, 0};
    IDispatch_Invoke(g_current->sink, 250, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                     nullptr, nullptr);
    VariantClear(&urlValue);
    VariantClear(&postArray);
    return cancel;
}

void FireDocumentComplete(const wchar_t* url, bool topLevel) {
    if (!g_current || !g_current->sink) return;
    VARIANT urlValue;
    VariantInit(&urlValue);
    urlValue.vt = VT_BSTR;
    urlValue.bstrVal = url ? SysAllocString(url) : nullptr;
    VARIANT args[2];
    VariantInit(&args[0]);
    VariantInit(&args[1]);
    args[1].vt = VT_DISPATCH;
    args[1].pdispVal = topLevel ? reinterpret_cast<IDispatch*>(&g_current->browser) : FrameDispatch();
    args[0].vt = VT_BYREF | VT_VARIANT;
    args[0].pvarVal = &urlValue;
    DISPPARAMS params = {args, nullptr, 2, 0};
    IDispatch_Invoke(g_current->sink, 259, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr,
                     nullptr, nullptr);
    VariantClear(&urlValue);
}
