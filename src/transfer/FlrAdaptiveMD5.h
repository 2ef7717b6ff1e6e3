#pragma once
// Learns, from measurements taken during a transfer, the file size above
// which comparing a file block by block with MD5 digests is expected to cost
// less than sending it whole.
//
// Three sample windows of the last 100 samples each, x in bytes and y in
// microseconds: the network (full data sent), local MD5 (data hashed) and
// remote MD5 (a file's digest stream from the tail, by file size). Network
// and local costs are lines through the origin; the remote cost is a line
// with a fixed part. The threshold is fixed / (net - local - remote per
// byte), or -1 when MD5 never pays off.
//
// No lock of its own: the owner serialises every call.
#include <cstdint>

class FlrAdaptiveMD5 {
  public:
    static constexpr int kWindow = 100;
    // Samples above this many bytes are ignored.
    static constexpr uint64_t kMaxBytes = 2147483646ULL;
    // Costs assumed while too few samples exist (microseconds, per byte).
    static constexpr double kDefaultNetCost = 0.9536;
    static constexpr double kDefaultMD5Cost = 0.0698;
    static constexpr double kDefaultRemoteFixed = 1000.0;

    FlrAdaptiveMD5();
    ~FlrAdaptiveMD5();
    FlrAdaptiveMD5(const FlrAdaptiveMD5&) = delete;
    FlrAdaptiveMD5& operator=(const FlrAdaptiveMD5&) = delete;

    void startNetSample();
    void startLMD5Sample();
    void startRMD5Sample();
    // Add (bytes, microseconds since the start) when time has passed; Net and
    // LMD5 ignore 0 bytes, RMD5 takes them (a ping measures the fixed cost).
    void endNetSample(unsigned long long bytes);
    void endLMD5Sample(unsigned long long bytes);
    void endRMD5Sample(unsigned long long bytes);

    void addNetSample(unsigned long long x, unsigned long long y);
    void addLMD5Sample(unsigned long long x, unsigned long long y);
    void addRMD5Sample(unsigned long long x, unsigned long long y);

    // Network cost per byte, local MD5 cost per byte, remote fixed cost and
    // remote cost per byte. True only when all three come from measurements
    // (more than 2 samples each, remote model not degenerate).
    bool getCoeffs(double* net, double* localMD5, double* remoteFixed, double* remotePerByte) const;
    // Size in bytes above which MD5 is expected to pay off; -1 for never.
    // 0 until every window holds enough samples.
    long long getSizeThresh();

    // Current microseconds (gettimeofday).
    static uint64_t nowMicros();

  private:
    // One window. Sums are kept exact in 128 bits: 100 squares of sizes up
    // to 2 GiB overflow 64 bits, which would turn the fitted lines into noise.
    struct Samples {
        uint64_t* x = nullptr;
        uint64_t* y = nullptr;
        int count = 0;
        int last = -1;
        unsigned __int128 sumXX = 0;
        unsigned __int128 sumXY = 0;
        unsigned __int128 sumX = 0;
        unsigned __int128 sumY = 0;
        uint64_t start = 0;
    };

    void add(Samples& s, unsigned long long x, unsigned long long y, const char* function);
    static double slopeThroughOrigin(const Samples& s);

    Samples net_;
    Samples lmd5_;
    Samples rmd5_;
    long long cachedThresh_ = 0;
    bool cacheValid_ = true;
    bool newSamples_ = false;
};
