#pragma once
// Rate conversion of one channel of 32-bit float sound at libswresample's high quality (its
// soxr engine), without time shift: output sample n stands for input time n / output rate.

#include <memory>
#include <vector>

namespace qm {

class MonoResampler {
public:
    // Throws MediaError when the rates are not positive or the converter cannot be made.
    MonoResampler(int inputRate, int outputRate);
    ~MonoResampler();
    MonoResampler(const MonoResampler&) = delete;
    MonoResampler& operator=(const MonoResampler&) = delete;

    int inputRate() const { return inputRate_; }
    int outputRate() const { return outputRate_; }

    // Converts a run of input and appends what the converter gives to `out`. A run the
    // converter fails on becomes silence of the length it stands for (the converter starts over).
    void convert(const float* input, int count, std::vector<float>& out);
    // Hands out what the converter still holds; the time line then ends.
    void flush(std::vector<float>& out);

private:
    void reset();
    int inputRate_;
    int outputRate_;
    struct Context;
    std::unique_ptr<Context> context_;
    long long inputSamples_ = 0;   // fed so far
    long long outputSamples_ = 0;  // handed out so far
};

}  // namespace qm
