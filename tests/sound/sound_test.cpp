// Cantorel.dll driven as a host drives it: LoadLibrary, the one export and
// the interfaces' slots. Sounds are played on the test's own paced ALSA
// device (see CMakeLists.txt), so ends come in real time and what was played
// can be read back.
#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Cantorel.h"
#include "SoundDecode.h"
#include "kit_test.h"

namespace {

ISoundObject* const kPoisonSound = reinterpret_cast<ISoundObject*>(0xdeadbeef);

// ---------------------------------------------------------------------------
// Test images

using Bytes = std::vector<unsigned char>;

void PutLe(Bytes* out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out->push_back(static_cast<unsigned char>(value >> (8 * i)));
}
void PutTag(Bytes* out, const char* tag) {
    out->insert(out->end(), tag, tag + 4);
}

struct tagWaveShape {
    int channels = 1;
    int rate = 44100;
    int bits = 16;
    double seconds = 0.3;
    uint32_t formatSize = 16;  // 18 adds an extra-size field
    uint16_t extraSize = 0;    // stored in that field
    int factBytes = -1;        // >= 0: a fact chunk of that size
    bool listBeforeData = false;
    double amplitude = 0.5;
};

// A RIFF/WAVE image holding a 440 Hz sine.
Bytes MakeWave(const tagWaveShape& shape) {
    const uint32_t frames = static_cast<uint32_t>(shape.rate * shape.seconds);
    const uint32_t blockAlign = shape.channels * shape.bits / 8;
    Bytes samples;
    for (uint32_t i = 0; i < frames; ++i) {
        const double v = shape.amplitude * std::sin(2 * 3.14159265358979 * 440.0 * i / shape.rate);
        for (int c = 0; c < shape.channels; ++c) {
            if (shape.bits == 8) {
                samples.push_back(static_cast<unsigned char>(128 + static_cast<int>(v * 127)));
            } else {
                PutLe(&samples, static_cast<uint16_t>(static_cast<int16_t>(v * 32767)), 2);
            }
        }
    }
    Bytes image;
    PutTag(&image, "RIFF");
    PutLe(&image, 0, 4);  // patched below
    PutTag(&image, "WAVE");
    PutTag(&image, "fmt ");
    PutLe(&image, shape.formatSize, 4);
    PutLe(&image, 1, 2);
    PutLe(&image, shape.channels, 2);
    PutLe(&image, shape.rate, 4);
    PutLe(&image, shape.rate * blockAlign, 4);
    PutLe(&image, blockAlign, 2);
    PutLe(&image, shape.bits, 2);
    if (shape.formatSize >= 18) PutLe(&image, shape.extraSize, 2);
    for (uint32_t i = 18; i < shape.formatSize; ++i) image.push_back(0);
    if (shape.factBytes >= 0) {
        PutTag(&image, "fact");
        PutLe(&image, shape.factBytes, 4);
        for (int i = 0; i < shape.factBytes; ++i) image.push_back(static_cast<unsigned char>(i));
    }
    if (shape.listBeforeData) {
        PutTag(&image, "LIST");
        PutLe(&image, 4, 4);
        PutTag(&image, "INFO");
    }
    PutTag(&image, "data");
    PutLe(&image, static_cast<uint32_t>(samples.size()), 4);
    image.insert(image.end(), samples.begin(), samples.end());
    const uint32_t riffSize = static_cast<uint32_t>(image.size() - 8);
    std::memcpy(&image[4], &riffSize, 4);
    return image;
}

std::wstring FixturePath(const wchar_t* name) {
    return std::wstring(KIT_SOUND_FIXTURES) + L"\\" + name;
}

Bytes ReadFile(const std::wstring& path) {
    const std::string bytes = kit_test::ReadFileBytes(path);
    return Bytes(bytes.begin(), bytes.end());
}

bool WriteFile(const std::wstring& path, const Bytes& bytes) {
    return kit_test::WriteFileBytes(path, std::string(bytes.begin(), bytes.end()));
}

Bytes Mp3(const wchar_t* name) {
    Bytes bytes = ReadFile(FixturePath(name));
    EXPECT_FALSE(bytes.empty()) << "missing fixture " << kit_test::ToUtf8(name);
    return bytes;
}

// ---------------------------------------------------------------------------
// The host side: the library, a sink, a message pump

class CSoundDll {
public:
    CSoundDll() {
        module_ = LoadLibraryW((kit_test::ProgramDir() + L"\\Cantorel.dll").c_str());
        if (module_) {
            create_ = reinterpret_cast<PFN_CreateSoundManager>(
                reinterpret_cast<void*>(GetProcAddress(module_, "CreateSoundManager")));
        }
    }
    ~CSoundDll() {
        if (module_) FreeLibrary(module_);
    }
    HMODULE Module() const { return module_; }
    PFN_CreateSoundManager Create() const { return create_; }

private:
    HMODULE module_ = nullptr;
    PFN_CreateSoundManager create_ = nullptr;
};

// Records every OnSoundEnd: the sound, the calling thread and the time.
class CTestSink final : public ISoundSink {
public:
    struct tagCall {
        ISoundManager* manager;
        ISoundObject* sound;
        DWORD thread;
        DWORD tick;
    };

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        if (out) *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs_); }
    ULONG STDMETHODCALLTYPE Release() override { return InterlockedDecrement(&refs_); }
    HRESULT STDMETHODCALLTYPE OnSoundEnd(ISoundManager* manager, ISoundObject* sound) override {
        if (count_ < kMaxCalls) calls_[count_] = {manager, sound, GetCurrentThreadId(), GetTickCount()};
        InterlockedIncrement(&count_);
        return S_OK;
    }

    LONG Refs() const { return refs_; }
    LONG Count() const { return count_; }
    const tagCall& Call(int i) const { return calls_[i]; }

private:
    static constexpr LONG kMaxCalls = 8;
    // A fixed array: the sink is called while the test counts heap blocks.
    tagCall calls_[kMaxCalls] = {};
    volatile LONG refs_ = 1;
    volatile LONG count_ = 0;
};

using kit_test::PumpFor;
using kit_test::PumpUntil;

// A hidden window for the cooperative level.
class CHostWindow {
public:
    CHostWindow()
        : window_(CreateWindowExW(0, L"STATIC", L"sound test host", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleW(nullptr), nullptr)) {}
    ~CHostWindow() {
        if (window_) DestroyWindow(window_);
    }
    HWND Get() const { return window_; }

private:
    HWND window_;
};

class SoundTest : public testing::Test {
protected:
    static void SetUpTestSuite() { dll_ = new CSoundDll(); }
    static void TearDownTestSuite() {
        delete dll_;
        dll_ = nullptr;
    }

    void SetUp() override {
        ASSERT_NE(nullptr, dll_->Module()) << "Cantorel.dll did not load: " << GetLastError();
        ASSERT_NE(nullptr, dll_->Create()) << "no export CreateSoundManager";
        ASSERT_NE(nullptr, window_.Get());
    }

    // A new manager, not initialised.
    ISoundManager* NewManager() {
        ISoundManager* manager = reinterpret_cast<ISoundManager*>(0xdeadbeef);
        EXPECT_EQ(S_OK, dll_->Create()(&manager));
        return manager;
    }

    // A new manager initialised on this thread with the test's sink.
    ISoundManager* NewInitializedManager() {
        ISoundManager* manager = NewManager();
        const HRESULT hr = manager->Initialize(window_.Get());
        EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
        EXPECT_EQ(S_OK, manager->SetSink(&sink_));
        return manager;
    }

    ISoundObject* Create(ISoundManager* manager, const Bytes& image, SoundType type) {
        ISoundObject* sound = kPoisonSound;
        const HRESULT hr =
            manager->CreateSoundFromMemory(image.data(), static_cast<unsigned>(image.size()), type, &sound);
        EXPECT_EQ(S_OK, hr) << std::hex << hr;
        return hr == S_OK ? sound : nullptr;
    }

    bool WaitForEnds(LONG count, DWORD timeoutMs) {
        return PumpUntil([&] { return sink_.Count() >= count; }, timeoutMs);
    }

    static CSoundDll* dll_;
    CHostWindow window_;
    CTestSink sink_;
};

CSoundDll* SoundTest::dll_ = nullptr;

}  // namespace

// ---------------------------------------------------------------------------
// The export and the manager's own rules

TEST_F(SoundTest, ExportIsUndecoratedAndRejectsNullOut) {
    EXPECT_EQ(nullptr, GetProcAddress(dll_->Module(), "_CreateSoundManager@4"));
    EXPECT_EQ(E_POINTER, dll_->Create()(nullptr));
}

TEST_F(SoundTest, ManagerQueryInterfaceAcceptsOnlyItsOwnIid) {
    ISoundManager* manager = NewManager();
    void* out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(E_NOINTERFACE, manager->QueryInterface(IID_IUnknown, &out));
    EXPECT_EQ(reinterpret_cast<void*>(0xdeadbeef), out) << "out is left untouched";
    EXPECT_EQ(E_NOINTERFACE, manager->QueryInterface(IID_ISoundObject, &out));
    EXPECT_EQ(S_OK, manager->QueryInterface(IID_ISoundManager, &out));
    EXPECT_EQ(static_cast<void*>(manager), out);
    EXPECT_EQ(3u, manager->AddRef()) << "QueryInterface added one reference";
    EXPECT_EQ(2u, manager->Release());
    EXPECT_EQ(1u, manager->Release());
    EXPECT_EQ(0u, manager->Release());
}

TEST_F(SoundTest, UninitialisedManagerFailsCleanly) {
    ISoundManager* manager = NewManager();
    EXPECT_EQ(E_POINTER, manager->GetVolume(nullptr));
    long volume = 0xdeadbeef;
    EXPECT_EQ(S_OK, manager->GetVolume(&volume));
    EXPECT_EQ(0, volume);
    ISoundObject* sound = kPoisonSound;
    const Bytes wave = MakeWave({});
    EXPECT_EQ(E_FAIL, manager->CreateSoundFromMemory(wave.data(), static_cast<unsigned>(wave.size()),
                                                     SoundTypeWave, &sound));
    EXPECT_EQ(nullptr, sound);
    EXPECT_EQ(S_OK, manager->Uninitialize());
    EXPECT_EQ(S_OK, manager->Uninitialize());
    EXPECT_EQ(0u, manager->Release());
}

TEST_F(SoundTest, SecondInitializeFailsAndUninitialisesThenInitializeWorksAgain) {
    ISoundManager* manager = NewInitializedManager();
    EXPECT_EQ(E_FAIL, manager->Initialize(window_.Get()));
    const Bytes wave = MakeWave({});
    ISoundObject* sound = kPoisonSound;
    EXPECT_EQ(E_FAIL, manager->CreateSoundFromMemory(wave.data(), static_cast<unsigned>(wave.size()),
                                                     SoundTypeWave, &sound))
        << "the manager is no longer initialised";
    EXPECT_EQ(1, sink_.Refs()) << "the failed Initialize released the sink";
    const HRESULT hr = manager->Initialize(window_.Get());
    EXPECT_TRUE(SUCCEEDED(hr)) << std::hex << hr;
    sound = Create(manager, wave, SoundTypeWave);
    ASSERT_NE(nullptr, sound);
    EXPECT_EQ(0u, sound->Release());
    EXPECT_EQ(0u, manager->Release());
}

TEST_F(SoundTest, SinkReferencesFollowSetSinkAndEndWithTheManager) {
    ISoundManager* manager = NewManager();
    CTestSink other;
    EXPECT_EQ(S_OK, manager->SetSink(&sink_));
    EXPECT_EQ(2, sink_.Refs());
    EXPECT_EQ(S_OK, manager->SetSink(&sink_));
    EXPECT_EQ(2, sink_.Refs()) << "setting the same sink again takes no reference";
    EXPECT_EQ(S_OK, manager->SetSink(&other));
    EXPECT_EQ(1, sink_.Refs());
    EXPECT_EQ(2, other.Refs());
    EXPECT_EQ(S_OK, manager->SetSink(nullptr));
    EXPECT_EQ(1, other.Refs());
    EXPECT_EQ(S_OK, manager->SetSink(&other));
    EXPECT_EQ(0u, manager->Release());
    EXPECT_EQ(1, other.Refs()) << "destroying the manager released the sink";
}

TEST_F(SoundTest, CreateSoundFromMemoryChecksItsArguments) {
    ISoundManager* manager = NewInitializedManager();
    const Bytes wave = MakeWave({});
    const unsigned size = static_cast<unsigned>(wave.size());
    ISoundObject* sound = kPoisonSound;
    EXPECT_EQ(E_POINTER, manager->CreateSoundFromMemory(wave.data(), size, SoundTypeWave, nullptr));
    EXPECT_EQ(E_INVALIDARG, manager->CreateSoundFromMemory(wave.data(), 0, SoundTypeWave, &sound));
    EXPECT_EQ(nullptr, sound);
    sound = kPoisonSound;
    EXPECT_EQ(E_POINTER, manager->CreateSoundFromMemory(nullptr, size, SoundTypeWave, &sound));
    for (int type : {static_cast<int>(SoundTypeOgg), 2, 3, -1}) {
        sound = kPoisonSound;
        EXPECT_EQ(E_FAIL,
                  manager->CreateSoundFromMemory(wave.data(), size, static_cast<SoundType>(type), &sound))
            << "type " << type;
        EXPECT_EQ(nullptr, sound);
    }
    EXPECT_EQ(0u, manager->Release());
}

// ---------------------------------------------------------------------------
// Files and their extensions

struct tagFileCase {
    const char* id;
    const wchar_t* name;
    enum { kWave, kMp3, kEmpty } content;
    HRESULT expected;
};

class SoundFileTest : public SoundTest, public testing::WithParamInterface<tagFileCase> {};

TEST_P(SoundFileTest, TypeFollowsTheExtension) {
    const tagFileCase& c = GetParam();
    kit_test::CTempDir dir;
    Bytes content;
    if (c.content == tagFileCase::kWave) content = MakeWave({});
    if (c.content == tagFileCase::kMp3) content = Mp3(L"mono.mp3");
    ASSERT_TRUE(WriteFile(dir / c.name, content));
    ISoundManager* manager = NewInitializedManager();
    ISoundObject* sound = kPoisonSound;
    EXPECT_EQ(c.expected, manager->CreateSoundFromFile((dir / c.name).c_str(), &sound))
        << kit_test::ToUtf8(c.name);
    if (c.expected == S_OK) {
        ASSERT_NE(nullptr, sound);
        EXPECT_EQ(0u, sound->Release());
    } else {
        EXPECT_EQ(nullptr, sound);
    }
    EXPECT_EQ(0u, manager->Release());
}

INSTANTIATE_TEST_SUITE_P(
    Extensions, SoundFileTest,
    testing::Values(tagFileCase{"Lower", L"beep.wav", tagFileCase::kWave, S_OK},
                    tagFileCase{"Capitals", L"BEEP.WAV", tagFileCase::kWave, S_OK},
                    tagFileCase{"Mp3", L"tune.mp3", tagFileCase::kMp3, S_OK},
                    tagFileCase{"MpaMixedCase", L"tune.MpA", tagFileCase::kMp3, S_OK},
                    tagFileCase{"TwoDots", L"two.dots.wav", tagFileCase::kWave, S_OK},
                    tagFileCase{"ChineseName", L"\u58f0\u97f3.wav", tagFileCase::kWave, S_OK},
                    tagFileCase{"FiveCharacters", L"beep.wave", tagFileCase::kWave, E_FAIL},
                    tagFileCase{"ThreeCharacters", L"beep.wa", tagFileCase::kWave, E_FAIL},
                    tagFileCase{"NoDot", L"beep", tagFileCase::kWave, E_FAIL},
                    tagFileCase{"Ogg", L"tune.ogg", tagFileCase::kMp3, E_FAIL},
                    tagFileCase{"OtherExtension", L"tune.mp3.txt", tagFileCase::kMp3, E_FAIL},
                    tagFileCase{"WaveNamedMp3", L"wave.mp3", tagFileCase::kWave, E_FAIL},
                    tagFileCase{"EmptyFile", L"empty.wav", tagFileCase::kEmpty, E_FAIL}),
    [](const testing::TestParamInfo<tagFileCase>& info) { return std::string(info.param.id); });

TEST_F(SoundTest, CreateSoundFromFileChecksItsArguments) {
    ISoundManager* manager = NewInitializedManager();
    ISoundObject* sound = kPoisonSound;
    EXPECT_EQ(E_POINTER, manager->CreateSoundFromFile(L"x.wav", nullptr));
    EXPECT_EQ(E_INVALIDARG, manager->CreateSoundFromFile(nullptr, &sound));
    EXPECT_EQ(nullptr, sound);
    kit_test::CTempDir dir;
    sound = kPoisonSound;
    EXPECT_EQ(E_FAIL, manager->CreateSoundFromFile((dir / L"missing.wav").c_str(), &sound));
    EXPECT_EQ(nullptr, sound);
    EXPECT_EQ(0u, manager->Release());
}

// ---------------------------------------------------------------------------
// Wave images

struct tagWaveCase {
    const char* id;
    const char* what;
    tagWaveShape shape;
    bool accepted;
};

class SoundWaveTest : public SoundTest, public testing::WithParamInterface<tagWaveCase> {};

TEST_P(SoundWaveTest, AcceptsOnlyWellFormedImagesAndLeavesThemUntouched) {
    const tagWaveCase& c = GetParam();
    ISoundManager* manager = NewInitializedManager();
    const Bytes image = MakeWave(c.shape);
    const Bytes copy = image;
    for (int round = 0; round < 2; ++round) {
        ISoundObject* sound = kPoisonSound;
        EXPECT_EQ(c.accepted ? S_OK : E_FAIL,
                  manager->CreateSoundFromMemory(image.data(), static_cast<unsigned>(image.size()),
                                                 SoundTypeWave, &sound))
            << c.what << ", round " << round;
        if (c.accepted) {
            ASSERT_NE(nullptr, sound);
            EXPECT_EQ(0u, sound->Release());
        } else {
            EXPECT_EQ(nullptr, sound);
        }
    }
    EXPECT_EQ(copy, image) << "the caller's image was modified";
    EXPECT_EQ(0u, manager->Release());
}

tagWaveShape Shape(int channels, int rate, int bits) {
    tagWaveShape shape;
    shape.channels = channels;
    shape.rate = rate;
    shape.bits = bits;
    return shape;
}
tagWaveShape WithFact(int bytes) {
    tagWaveShape shape;
    shape.factBytes = bytes;
    return shape;
}
tagWaveShape WithFormatSize(uint32_t size, uint16_t extra) {
    tagWaveShape shape;
    shape.formatSize = size;
    shape.extraSize = extra;
    return shape;
}
tagWaveShape WithList() {
    tagWaveShape shape;
    shape.listBeforeData = true;
    return shape;
}

INSTANTIATE_TEST_SUITE_P(
    Images, SoundWaveTest,
    testing::Values(tagWaveCase{"Mono8Bit22k", "mono 8-bit 22.05 kHz", Shape(1, 22050, 8), true},
                    tagWaveCase{"Stereo8Bit22k", "stereo 8-bit 22.05 kHz", Shape(2, 22050, 8), true},
                    tagWaveCase{"Mono16Bit44k", "mono 16-bit 44.1 kHz", Shape(1, 44100, 16), true},
                    tagWaveCase{"Stereo16Bit44k", "stereo 16-bit 44.1 kHz", Shape(2, 44100, 16), true},
                    tagWaveCase{"Stereo16Bit22k", "stereo 16-bit 22.05 kHz", Shape(2, 22050, 16), true},
                    tagWaveCase{"FactChunk", "4-byte fact chunk", WithFact(4), true},
                    tagWaveCase{"Format18", "18-byte format, extra size 0", WithFormatSize(18, 0), true},
                    tagWaveCase{"Format18LyingExtraSize", "18-byte PCM format claiming 22 extra bytes",
                                WithFormatSize(18, 22), true},
                    tagWaveCase{"ListBeforeData", "LIST chunk before the data", WithList(), false}),
    [](const testing::TestParamInfo<tagWaveCase>& info) { return std::string(info.param.id); });

// Damaged images: every size field lies somewhere; none may be read past.
TEST_F(SoundTest, WaveChunkSizesAreCheckedAgainstTheImage) {
    const Bytes good = MakeWave({});
    const size_t dataSizeAt = 40;  // RIFF(12) + fmt (8+16) + "data"
    ASSERT_EQ(0, std::memcmp(&good[36], "data", 4));
    struct tagDamage {
        const char* what;
        size_t at;
        uint32_t value;
        size_t length;  // 0: keep the whole image
    } damages[] = {
        {"data size one byte too large", dataSizeAt, static_cast<uint32_t>(good.size() - 44 + 1), 0},
        {"data size 0xFFFFFFFF", dataSizeAt, 0xFFFFFFFFu, 0},
        {"image cut inside the data", 0, 0, good.size() - 10},
        {"image cut inside the data chunk header", 0, 0, 42},
        {"RIFF size larger than the image", 4, static_cast<uint32_t>(good.size() + 1), 0},
        {"format size 15", 16, 15, 0},
        {"format size past the image", 16, 0x7FFFFFF0u, 0},
        {"format size 0xFFFFFFFF", 16, 0xFFFFFFFFu, 0},
        {"image of 17 bytes", 0, 0, 17},
        {"image of 18 bytes", 0, 0, 18},
        {"image of 19 bytes", 0, 0, 19},
        {"image of 20 bytes", 0, 0, 20},
    };
    ISoundManager* manager = NewInitializedManager();
    for (const tagDamage& d : damages) {
        Bytes image = good;
        if (d.length) {
            image.resize(d.length);
            const uint32_t riffSize = static_cast<uint32_t>(std::min<size_t>(image.size(), 8));
            std::memcpy(&image[4], &riffSize, 4);
        } else {
            std::memcpy(&image[d.at], &d.value, 4);
        }
        // A copy of exactly that size: nothing past its end is the image's.
        std::vector<unsigned char> exact(image.begin(), image.end());
        ISoundObject* sound = kPoisonSound;
        EXPECT_EQ(E_FAIL, manager->CreateSoundFromMemory(exact.data(), static_cast<unsigned>(exact.size()),
                                                         SoundTypeWave, &sound))
            << d.what;
        EXPECT_EQ(nullptr, sound) << d.what;
    }
    Bytes withFact = MakeWave(WithFact(4));
    const uint32_t hugeFact = 0xFFFFFFF0u;
    std::memcpy(&withFact[40], &hugeFact, 4);
    ISoundObject* sound = kPoisonSound;
    EXPECT_EQ(E_FAIL, manager->CreateSoundFromMemory(withFact.data(), static_cast<unsigned>(withFact.size()),
                                                     SoundTypeWave, &sound))
        << "fact size past the image";
    EXPECT_EQ(0u, manager->Release());
}

TEST(SoundWaveParseTest, FindsTheSamplesAfterAFactChunkAndClearsPcmExtraSize) {
    tagWaveShape shape = WithFormatSize(18, 22);
    shape.factBytes = 4;
    const Bytes image = MakeWave(shape);
    std::vector<unsigned char> format;
    const unsigned char* samples = nullptr;
    DWORD bytes = 0xdeadbeef;
    ASSERT_TRUE(ParseWave(image.data(), static_cast<unsigned>(image.size()), &format, &samples, &bytes));
    const size_t expectedStart = 12 + 8 + 18 + 8 + 4 + 8;
    EXPECT_EQ(expectedStart, static_cast<size_t>(samples - image.data()));
    EXPECT_EQ(image.size() - expectedStart, bytes);
    ASSERT_GE(format.size(), sizeof(WAVEFORMATEX));
    const auto* record = reinterpret_cast<const WAVEFORMATEX*>(format.data());
    EXPECT_EQ(0, record->cbSize);
    EXPECT_EQ(1, record->nChannels);
    EXPECT_EQ(44100u, record->nSamplesPerSec);
}

// ---------------------------------------------------------------------------
// MPEG decoding, compared with the Linux tools' decode of the same files

struct tagReference {
    long samples = 0;
    long rate = 0;
    long channels = 0;
};

tagReference ReadReference(const std::string& name) {
    const Bytes text = ReadFile(FixturePath(L"reference.txt"));
    std::istringstream in(std::string(text.begin(), text.end()));
    std::string file;
    tagReference ref;
    while (in >> file >> ref.samples >> ref.rate >> ref.channels) {
        if (file == name) return ref;
    }
    ADD_FAILURE() << "no reference for " << name;
    return {};
}

struct tagDecoded {
    bool ok = false;
    WAVEFORMATEX format = {};
    std::vector<short> pcm;
};

tagDecoded Decode(const Bytes& image) {
    static short left[65536], right[65536];
    tagDecoded d;
    d.ok =
        DecodeMpeg(image.data(), static_cast<unsigned>(image.size()), left, right, 65536, &d.format, &d.pcm);
    return d;
}

class SoundMpegTest : public testing::TestWithParam<const char*> {};

TEST_P(SoundMpegTest, DecodeMatchesTheReferenceWithinOneFrame) {
    const std::string name = GetParam();
    const tagReference ref = ReadReference(name);
    const tagDecoded d = Decode(Mp3(std::wstring(name.begin(), name.end()).c_str()));
    ASSERT_TRUE(d.ok);
    EXPECT_EQ(WAVE_FORMAT_PCM, d.format.wFormatTag);
    EXPECT_EQ(ref.channels, d.format.nChannels);
    EXPECT_EQ(ref.rate, static_cast<long>(d.format.nSamplesPerSec));
    EXPECT_EQ(16, d.format.wBitsPerSample);
    EXPECT_EQ(2 * ref.channels, d.format.nBlockAlign);
    EXPECT_EQ(d.format.nBlockAlign * d.format.nSamplesPerSec, d.format.nAvgBytesPerSec);
    const long frameSamples = ref.rate < 32000 ? 576 : 1152;
    const long samples = static_cast<long>(d.pcm.size()) / ref.channels;
    EXPECT_LE(std::labs(samples - ref.samples), frameSamples)
        << "decoded " << samples << " samples per channel, reference " << ref.samples;
    if (ref.channels == 2) {
        // The fixture's channels differ (440 and 550 Hz): interleaving kept.
        long differing = 0;
        for (size_t i = 0; i + 1 < d.pcm.size(); i += 2) differing += d.pcm[i] != d.pcm[i + 1];
        EXPECT_GT(differing, samples / 2);
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, SoundMpegTest, testing::Values("mono.mp3", "stereo.mp3"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param).substr(0, std::strlen(info.param) - 4);
                         });

TEST(SoundMpegTagTest, Id3TagsAreSkippedAndNotDecoded) {
    const Bytes plain = Mp3(L"stereo.mp3");
    const tagDecoded expected = Decode(plain);
    ASSERT_TRUE(expected.ok);

    // A 2,000-byte ID3v2 tag: 10-byte header, 1,990 bytes of body whose size
    // is stored seven bits per byte; the body holds a false frame sync.
    Bytes tagged = {'I', 'D', '3', 4, 0, 0, 0, 0, 1990 >> 7, 1990 & 0x7F};
    for (int i = 0; i < 1990; ++i) tagged.push_back(i % 7 == 0 ? 0xFF : 0xFB);
    tagged.insert(tagged.end(), plain.begin(), plain.end());
    const tagDecoded v2 = Decode(tagged);
    ASSERT_TRUE(v2.ok);
    EXPECT_EQ(expected.pcm, v2.pcm) << "decoded " << v2.pcm.size() << " samples, plain file "
                                    << expected.pcm.size();

    // A trailing ID3v1 block: "TAG" and 125 bytes of frame-like noise.
    Bytes v1Image = plain;
    v1Image.insert(v1Image.end(), {'T', 'A', 'G'});
    for (int i = 0; i < 125; ++i) v1Image.push_back(i % 3 == 0 ? 0xFF : 0xFA);
    const tagDecoded v1 = Decode(v1Image);
    ASSERT_TRUE(v1.ok);
    EXPECT_EQ(expected.pcm, v1.pcm) << "decoded " << v1.pcm.size() << " samples, plain file "
                                    << expected.pcm.size();

    Bytes tagOnly = {'I', 'D', '3', 4, 0, 0, 0, 0, 0, 20};
    tagOnly.resize(30, 0);
    EXPECT_FALSE(Decode(tagOnly).ok) << "a tag that covers the whole image";
}

// Input without frames is given up 64 KiB after the last decoded frame (or
// the ID3v2 tag): where decoding stops shows that a long stretch of it is
// never fed, which is what keeps decoding time linear.
TEST(SoundMpegGapTest, DecodingStops64KibAfterTheLastFrame) {
    const Bytes plain = Mp3(L"stereo.mp3");
    const tagDecoded whole = Decode(plain);
    const Bytes firstHalf(plain.begin(), plain.begin() + plain.size() / 2);
    const tagDecoded first = Decode(firstHalf);
    ASSERT_TRUE(whole.ok && first.ok);
    const long frame = 2 * 1152;
    ASSERT_GT(whole.pcm.size(), first.pcm.size() + 4 * frame);

    const auto zeros = [](size_t n) { return Bytes(n, 0); };
    const auto text = [](size_t n) {
        Bytes b(n);
        for (size_t i = 0; i < n; ++i) b[i] = "no frame in here "[i % 17];
        return b;
    };
    const auto id3 = [](size_t body) {
        Bytes b(10 + body, 0);
        std::memcpy(b.data(), "ID3\4", 4);
        // Syncsafe size: seven bits per byte, most significant first.
        for (int i = 0; i < 4; ++i) b[6 + i] = static_cast<unsigned char>(body >> (21 - 7 * i) & 0x7F);
        return b;
    };
    const auto join = [](std::initializer_list<Bytes> parts) {
        Bytes b;
        for (const Bytes& part : parts) b.insert(b.end(), part.begin(), part.end());
        return b;
    };
    const Bytes secondHalf(plain.begin() + plain.size() / 2, plain.end());
    const struct {
        const char* name;
        Bytes image;
        const tagDecoded* expected;  // null: fails
    } cases[] = {
        {"60000 zeros first", join({zeros(60000), plain}), &whole},
        {"70000 zeros first", join({zeros(70000), plain}), nullptr},
        {"100000-byte ID3v2 tag, 60000 zeros", join({id3(100000), zeros(60000), plain}), &whole},
        {"100000-byte ID3v2 tag, 70000 zeros", join({id3(100000), zeros(70000), plain}), nullptr},
        {"100 KB of zeros between halves", join({firstHalf, zeros(100000), secondHalf}), &first},
        {"100 KB of text between halves", join({firstHalf, text(100000), secondHalf}), &first},
    };
    for (const auto& c : cases) {
        const tagDecoded d = Decode(c.image);
        EXPECT_EQ(c.expected != nullptr, d.ok) << c.name;
        if (!c.expected || !d.ok) continue;
        // The frame cut at the half may come out, completed by the garbage.
        const long difference = static_cast<long>(d.pcm.size()) - static_cast<long>(c.expected->pcm.size());
        EXPECT_TRUE(difference >= 0 && difference <= frame)
            << c.name << ": " << d.pcm.size() << " samples, expected " << c.expected->pcm.size();
    }
}

// A file of the wrong kind (a truncated download, anything named .mp3) fails
// at once and leaves the manager as it was.
TEST_F(SoundTest, LargeImagesWithoutFramesFailFastAndTheManagerStaysUsable) {
    ISoundManager* manager = NewInitializedManager();
    Bytes image(40u << 20);
    std::mt19937 random(18);
    const struct {
        const char* name;
        unsigned char (*fill)(size_t, std::mt19937&);
    } kinds[] = {
        {"zeros", [](size_t, std::mt19937&) -> unsigned char { return 0; }},
        {"text",
         [](size_t i, std::mt19937&) -> unsigned char { return "Lorem ipsum dolor sit amet. "[i % 28]; }},
        {"random", [](size_t, std::mt19937& r) { return static_cast<unsigned char>(r()); }},
    };
    for (const auto& kind : kinds) {
        for (size_t i = 0; i < image.size(); ++i) image[i] = kind.fill(i, random);
        ISoundObject* sound = kPoisonSound;
        const DWORD start = GetTickCount();
        const HRESULT hr = manager->CreateSoundFromMemory(image.data(), static_cast<unsigned>(image.size()),
                                                          SoundTypeMpeg, &sound);
        const DWORD elapsed = GetTickCount() - start;
        EXPECT_EQ(E_FAIL, hr) << kind.name << ": " << std::hex << hr;
        EXPECT_EQ(nullptr, sound) << kind.name;
        // Far below the minutes the whole image once took.
        EXPECT_LT(elapsed, 10000u) << kind.name;
    }
    ISoundObject* sound = Create(manager, Mp3(L"mono.mp3"), SoundTypeMpeg);
    ASSERT_NE(nullptr, sound);
    EXPECT_EQ(0u, sound->Release());
    EXPECT_EQ(0u, manager->Release());
}

TEST_F(SoundTest, MpegImagesWithoutAFrameFail) {
    ISoundManager* manager = NewInitializedManager();
    const Bytes plain = Mp3(L"mono.mp3");
    std::string text(4000, ' ');
    for (size_t i = 0; i < text.size(); ++i) text[i] = "no frame in here "[i % 17];
    const Bytes cases[] = {
        Bytes(plain.begin(), plain.begin() + 9),
        Bytes(text.begin(), text.end()),
        Bytes(3000, 0),
        MakeWave({}),
    };
    for (const Bytes& image : cases) {
        ISoundObject* sound = kPoisonSound;
        EXPECT_EQ(E_FAIL, manager->CreateSoundFromMemory(image.data(), static_cast<unsigned>(image.size()),
                                                         SoundTypeMpeg, &sound))
            << "image of " << image.size() << " bytes";
        EXPECT_EQ(nullptr, sound);
    }
    ISoundObject* sound = Create(manager, plain, SoundTypeMpeg);
    ASSERT_NE(nullptr, sound);
    EXPECT_EQ(0u, sound->Release());
    EXPECT_EQ(0u, manager->Release());
}

// ---------------------------------------------------------------------------
// Sound objects

TEST_F(SoundTest, SoundQueryInterfaceTakesNoReference) {
    ISoundManager* manager = NewInitializedManager();
    ISoundObject* sound = Create(manager, MakeWave({}), SoundTypeWave);
    ASSERT_NE(nullptr, sound);
    void* out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(S_OK, sound->QueryInterface(IID_ISoundObject, &out));
    EXPECT_EQ(static_cast<void*>(sound), out);
    EXPECT_EQ(E_NOINTERFACE, sound->QueryInterface(IID_IUnknown, &out));
    EXPECT_EQ(E_NOINTERFACE, sound->QueryInterface(IID_ISoundManager, &out));
    EXPECT_EQ(E_POINTER, sound->GetVolume(nullptr));
    EXPECT_EQ(TRUE, sound->IsPlaying()) << "a sound never played counts as playing";
    EXPECT_EQ(E_FAIL, sound->Stop()) << "not playing";
    EXPECT_EQ(2u, sound->AddRef()) << "Stop left the count alone";
    EXPECT_EQ(1u, sound->Release());
    EXPECT_EQ(0u, sound->Release());
    EXPECT_EQ(0u, manager->Release());
}

TEST_F(SoundTest, VolumeReachesPlayingAndNewSoundsOnly) {
    ISoundManager* manager = NewInitializedManager();
    const Bytes wave = MakeWave({});
    ISoundObject* idle = Create(manager, wave, SoundTypeWave);
    tagWaveShape longShape;
    longShape.seconds = 3;
    ISoundObject* playing = Create(manager, MakeWave(longShape), SoundTypeWave);
    ASSERT_TRUE(idle && playing);
    ASSERT_EQ(S_OK, playing->Play());
    EXPECT_EQ(S_OK, manager->SetVolume(-2000));
    long volume = 0xdeadbeef;
    EXPECT_EQ(S_OK, manager->GetVolume(&volume));
    EXPECT_EQ(-2000, volume);
    volume = 0xdeadbeef;
    EXPECT_EQ(S_OK, playing->GetVolume(&volume));
    EXPECT_EQ(-2000, volume) << "a playing sound follows the manager";
    volume = 0xdeadbeef;
    EXPECT_EQ(S_OK, idle->GetVolume(&volume));
    EXPECT_EQ(0, volume) << "a sound that is not playing keeps its volume";
    ISoundObject* later = Create(manager, wave, SoundTypeWave);
    ASSERT_NE(nullptr, later);
    volume = 0xdeadbeef;
    EXPECT_EQ(S_OK, later->GetVolume(&volume));
    EXPECT_EQ(-2000, volume) << "a new sound starts at the manager's volume";
    EXPECT_EQ(S_OK, later->SetVolume(-500));
    EXPECT_EQ(S_OK, later->GetVolume(&volume));
    EXPECT_EQ(-500, volume);
    EXPECT_EQ(S_OK, playing->Stop());
    EXPECT_EQ(0u, later->Release());
    EXPECT_EQ(0u, playing->Release());
    EXPECT_EQ(0u, idle->Release());
    EXPECT_EQ(0u, manager->Release());
    EXPECT_EQ(0, sink_.Count());
}

// ---------------------------------------------------------------------------
// Playing on the paced device

// A sound of `seconds`, loud enough to find in the captured output.
Bytes Tone(double seconds) {
    tagWaveShape shape;
    shape.seconds = seconds;
    return MakeWave(shape);
}

// The manager lives on a thread of its own that pumps messages, as a host's
// window thread would: Initialize and Uninitialize run there.
class CHostThread {
public:
    explicit CHostThread(ISoundManager* manager, ISoundSink* sink) : manager_(manager), sink_(sink) {
        ready_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        quit_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, &CHostThread::Main, this, 0, &id_);
    }
    ~CHostThread() { Stop(); }
    // Waits until Initialize returned; its result.
    HRESULT WaitReady() {
        return WaitForSingleObject(ready_, 10000) == WAIT_OBJECT_0 ? initResult_ : E_UNEXPECTED;
    }
    DWORD Id() const { return id_; }
    // Uninitialises on the thread and ends it; false when it did not end in time.
    bool Stop() {
        if (!thread_) return true;
        SetEvent(quit_);
        const bool ended = WaitForSingleObject(thread_, 10000) == WAIT_OBJECT_0;
        CloseHandle(thread_);
        CloseHandle(ready_);
        CloseHandle(quit_);
        thread_ = nullptr;
        return ended;
    }

private:
    static DWORD WINAPI Main(void* param) {
        auto* self = static_cast<CHostThread*>(param);
        CHostWindow window;
        self->initResult_ = self->manager_->Initialize(window.Get());
        self->manager_->SetSink(self->sink_);
        SetEvent(self->ready_);
        for (;;) {
            const DWORD wait = MsgWaitForMultipleObjects(1, &self->quit_, FALSE, 10000, QS_ALLINPUT);
            if (wait == WAIT_OBJECT_0) break;
            MSG msg;
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        }
        self->manager_->Uninitialize();
        return 0;
    }

    ISoundManager* manager_;
    ISoundSink* sink_;
    HRESULT initResult_ = E_UNEXPECTED;
    HANDLE ready_ = nullptr;
    HANDLE quit_ = nullptr;
    HANDLE thread_ = nullptr;
    DWORD id_ = 0;
};

TEST_F(SoundTest, EndIsReportedOnceOnTheInitialisingThreadAfterTheRealLength) {
    ISoundManager* manager = NewManager();
    CHostThread host(manager, &sink_);
    ASSERT_TRUE(SUCCEEDED(host.WaitReady()));
    ISoundObject* sound = Create(manager, Tone(0.8), SoundTypeWave);
    ASSERT_NE(nullptr, sound);
    // The device's buffers fill faster than real time when its stream starts:
    // a first sound brings the stream to its steady, paced state.
    ISoundObject* warmUp = Create(manager, Tone(0.3), SoundTypeWave);
    ASSERT_NE(nullptr, warmUp);
    ASSERT_EQ(S_OK, warmUp->Play());
    ASSERT_TRUE(PumpUntil([&] { return sink_.Count() >= 1; }, 10000)) << "no end report";
    EXPECT_EQ(0u, warmUp->Release());
    const DWORD start = GetTickCount();
    ASSERT_EQ(S_OK, sound->Play());
    ASSERT_TRUE(PumpUntil([&] { return sink_.Count() >= 2; }, 10000)) << "no end report";
    PumpFor(500);
    ASSERT_EQ(2, sink_.Count()) << "reported more than once";
    const CTestSink::tagCall& call = sink_.Call(1);
    EXPECT_EQ(host.Id(), call.thread)
        << "reported on thread " << call.thread << ", test thread " << GetCurrentThreadId();
    EXPECT_EQ(manager, call.manager);
    EXPECT_EQ(sound, call.sound);
    const DWORD lag = call.tick - start;
    EXPECT_GE(lag, 800u - 50) << "reported before the sound's end";
    EXPECT_LE(lag, 800u + 400) << "reported long after the sound's end";
    EXPECT_EQ(FALSE, sound->IsPlaying());
    EXPECT_EQ(0u, sound->Release()) << "the registry's reference was dropped with the report";
    EXPECT_TRUE(host.Stop());
    EXPECT_EQ(0u, manager->Release());
}

TEST_F(SoundTest, StoppedSoundIsNotReportedAndReplayIsReportedAgain) {
    ISoundManager* manager = NewInitializedManager();
    ISoundObject* sound = Create(manager, Tone(0.3), SoundTypeWave);
    ASSERT_NE(nullptr, sound);
    ASSERT_EQ(S_OK, sound->Play());
    EXPECT_EQ(3u, sound->AddRef()) << "host, registry and this AddRef";
    EXPECT_EQ(2u, sound->Release());
    PumpFor(50);
    EXPECT_EQ(S_OK, sound->Stop());
    EXPECT_EQ(E_FAIL, sound->Stop());
    PumpFor(600);
    EXPECT_EQ(0, sink_.Count()) << "a stop was reported";
    EXPECT_EQ(2u, sound->AddRef()) << "Stop dropped the registry's reference";
    EXPECT_EQ(1u, sound->Release());

    // Play twice in a row: one registry entry, one report.
    ASSERT_EQ(S_OK, sound->Play());
    ASSERT_EQ(S_OK, sound->Play());
    EXPECT_EQ(3u, sound->AddRef());
    EXPECT_EQ(2u, sound->Release());
    ASSERT_TRUE(WaitForEnds(1, 5000));
    EXPECT_EQ(FALSE, sound->IsPlaying());
    // Played again after its end: the event was reset and it is reported anew.
    ASSERT_EQ(S_OK, sound->Play());
    EXPECT_EQ(TRUE, sound->IsPlaying());
    ASSERT_TRUE(WaitForEnds(2, 5000));
    PumpFor(400);
    EXPECT_EQ(2, sink_.Count());
    EXPECT_EQ(0u, sound->Release());
    EXPECT_EQ(0u, manager->Release());
}

TEST_F(SoundTest, UninitializeStopsPlayingSoundsWhichKeepWorkingWithoutReports) {
    ISoundManager* manager = NewInitializedManager();
    const Bytes tone = Tone(2);
    ISoundObject* first = Create(manager, tone, SoundTypeWave);
    ISoundObject* second = Create(manager, tone, SoundTypeWave);
    ASSERT_TRUE(first && second);
    ASSERT_EQ(S_OK, first->Play());
    ASSERT_EQ(S_OK, second->Play());
    EXPECT_EQ(S_OK, manager->Uninitialize());
    EXPECT_EQ(S_OK, manager->Uninitialize());
    EXPECT_EQ(FALSE, first->IsPlaying());
    EXPECT_EQ(2u, first->AddRef()) << "the registry's reference is gone";
    EXPECT_EQ(1u, first->Release());
    // Still a working buffer: plays, stops, and is never reported.
    EXPECT_EQ(S_OK, first->Play());
    EXPECT_EQ(TRUE, first->IsPlaying());
    EXPECT_EQ(S_OK, first->Stop());
    EXPECT_EQ(S_OK, second->Play());
    PumpFor(300);
    EXPECT_EQ(0, sink_.Count());
    EXPECT_EQ(0u, manager->Release());
    EXPECT_EQ(0u, first->Release());
    EXPECT_EQ(S_OK, second->Stop());
    EXPECT_EQ(0u, second->Release());
}

// A host that shuts the manager down from its end report.
class CReleasingSink final : public ISoundSink {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
        if (out) *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }
    HRESULT STDMETHODCALLTYPE OnSoundEnd(ISoundManager* manager, ISoundObject*) override {
        ++calls_;
        releaseResult_ = manager->Release();
        return S_OK;
    }
    ULONG refs_ = 1;
    int calls_ = 0;
    ULONG releaseResult_ = 0xdeadbeef;
};

TEST_F(SoundTest, SinkMayReleaseTheManagerFromItsEndReport) {
    const Bytes tone = Tone(0.2);
    CReleasingSink sink;
    for (int round = 0; round < 3; ++round) {
        ISoundManager* manager = NewManager();
        ASSERT_TRUE(SUCCEEDED(manager->Initialize(window_.Get())));
        manager->SetSink(&sink);
        ISoundObject* sound = Create(manager, tone, SoundTypeWave);
        ASSERT_NE(nullptr, sound);
        ASSERT_EQ(S_OK, sound->Play());
        ASSERT_TRUE(PumpUntil([&] { return sink.calls_ > round; }, 5000)) << "round " << round;
        EXPECT_EQ(0u, sink.releaseResult_);
        EXPECT_EQ(1u, sink.refs_) << "the destroyed manager released the sink";
        EXPECT_EQ(0u, sound->Release()) << "the report dropped the registry's reference";
    }
    PumpFor(200);
    EXPECT_EQ(3, sink.calls_);
}

// Peak absolute sample of what the device played, once the device is closed.
int PlayedPeak() {
    Bytes played;
    // Closing the device ends the reader; allow it to finish writing.
    PumpUntil(
        [&] {
            const Bytes now = ReadFile(KIT_SOUND_PLAYED);
            const bool stable = !now.empty() && now.size() == played.size();
            played = now;
            return stable;
        },
        5000);
    int peak = 0;
    for (size_t i = 0; i + 1 < played.size(); i += 2) {
        const int v = static_cast<int16_t>(played[i] | played[i + 1] << 8);
        peak = std::max(peak, std::abs(v));
    }
    return peak;
}

TEST_F(SoundTest, PlayedToneReachesTheDeviceAndFullAttenuationIsSilent) {
    const Bytes tone = Tone(0.4);
    for (long volume : {0L, -10000L}) {
        CTestSink sink;
        ISoundManager* manager = NewManager();
        ASSERT_TRUE(SUCCEEDED(manager->Initialize(window_.Get())));
        manager->SetSink(&sink);
        manager->SetVolume(volume);
        ISoundObject* sound = Create(manager, tone, SoundTypeWave);
        ASSERT_NE(nullptr, sound);
        ASSERT_EQ(S_OK, sound->Play());
        ASSERT_TRUE(PumpUntil([&] { return sink.Count() >= 1; }, 5000));
        PumpFor(200);
        EXPECT_EQ(0u, sound->Release());
        EXPECT_EQ(0u, manager->Release());
        const int peak = PlayedPeak();
        if (volume == 0) {
            EXPECT_GT(peak, 8000) << "the tone (amplitude 16383) did not reach the device";
        } else {
            EXPECT_LE(peak, 1) << "sound at volume -10000";
        }
    }
}

// ---------------------------------------------------------------------------
// Robustness: damaged images never crash, hang or succeed wrongly

TEST_F(SoundTest, TruncatedAndMutatedImagesFailOrSucceedCleanly) {
    ISoundManager* manager = NewInitializedManager();
    struct tagSeed {
        Bytes image;
        SoundType type;
        int rounds;
    } seeds[] = {
        {MakeWave(WithFact(4)), SoundTypeWave, 1500},
        {MakeWave(Shape(2, 22050, 8)), SoundTypeWave, 500},
        {Mp3(L"mono.mp3"), SoundTypeMpeg, 600},
        {Mp3(L"stereo.mp3"), SoundTypeMpeg, 400},
    };
    std::mt19937 random(20261207);
    std::map<HRESULT, int> results;
    for (const tagSeed& seed : seeds) {
        ASSERT_FALSE(seed.image.empty());
        for (int round = 0; round < seed.rounds; ++round) {
            Bytes image = seed.image;
            switch (round % 3) {
                case 0:  // truncated anywhere
                    image.resize(1 + random() % image.size());
                    break;
                case 1:  // a few random bytes, biased to the headers
                    for (int n = 1 + random() % 8; n > 0; --n) {
                        const size_t at = random() % 2 ? random() % std::min<size_t>(64, image.size())
                                                       : random() % image.size();
                        image[at] = static_cast<unsigned char>(random());
                    }
                    break;
                default:  // a 32-bit field overwritten with an extreme value
                {
                    const uint32_t values[] = {0,           1,           0x7FFFFFFF,
                                               0x80000000u, 0xFFFFFFFFu, static_cast<uint32_t>(image.size())};
                    const size_t at = random() % std::min<size_t>(80, image.size() - 4);
                    std::memcpy(&image[at], &values[random() % 6], 4);
                    break;
                }
            }
            ISoundObject* sound = kPoisonSound;
            const HRESULT hr = manager->CreateSoundFromMemory(
                image.data(), static_cast<unsigned>(image.size()), seed.type, &sound);
            ++results[hr];
            if (hr == S_OK) {
                ASSERT_NE(nullptr, sound);
                ASSERT_NE(kPoisonSound, sound);
                ASSERT_EQ(0u, sound->Release());
            } else {
                ASSERT_TRUE(FAILED(hr)) << std::hex << hr;
                ASSERT_EQ(nullptr, sound);
            }
        }
    }
    EXPECT_GT(results[S_OK], 0) << "mild damage should still decode";
    EXPECT_GT(results[E_FAIL], 0);
    EXPECT_EQ(0u, manager->Release());
}
