// Decoding of whole wave and MPEG audio images into a format and samples.
#pragma once

#include <windows.h>
#include <mmsystem.h>

#include <vector>

// Finds the format record and the samples of a RIFF/WAVE image. `format`
// receives the record (at least sizeof(WAVEFORMATEX) bytes, extra-size field
// fitted to it, 0 for PCM); `samples` points into the image. Every chunk size
// is checked against the image. False for a malformed image.
bool ParseWave(const unsigned char* image, unsigned size, std::vector<unsigned char>* format,
               const unsigned char** samples, DWORD* byteLength);

// Decodes MPEG audio (layers I to III, ID3 tags skipped) to interleaved 16-bit
// PCM. `left` and `right` are scratch arrays of `scratchSamples` samples each
// (at least 4096). False when not one sample could be decoded.
bool DecodeMpeg(const unsigned char* image, unsigned size, short* left, short* right, unsigned scratchSamples,
                WAVEFORMATEX* format, std::vector<short>* pcm);
