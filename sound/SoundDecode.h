// Decoding of whole wave and MPEG audio images into sound objects.
#pragma once

class CSoundManager;
class CSoundObject;

// A RIFF/WAVE image whose samples are handed to DirectSound as they stand.
// Null when the image is malformed or DirectSound refuses its format.
CSoundObject* CreateWaveSound(CSoundManager* manager, const unsigned char* image, unsigned size);

// MPEG audio (layers I to III), decoded to 16-bit PCM. `left` and `right` are
// scratch arrays of `scratchSamples` samples each. Null when no sample at all
// could be decoded.
CSoundObject* CreateMpegSound(CSoundManager* manager, const unsigned char* image, unsigned size, short* left,
                              short* right, unsigned scratchSamples);
