// Times allocation and release of a node-sized object through the pool and
// through the general heap, on one thread and on two at once.
#include <windows.h>

#include <cstdio>
#include <thread>
#include <vector>

#include "MemPool.h"

using namespace _ServerEngine;

namespace {

constexpr int kBatch = 64;       // objects alive at once, like a small subtree
constexpr int kRounds = 200000;  // batches per thread

struct PooledNode : CMemPoolObject<PooledNode, 4> {
    void* fields[12];
};
struct PlainNode {
    void* fields[12];
};

template <typename T>
void Churn() {
    T* objects[kBatch];
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kBatch; ++i) {
            objects[i] = new T;
            objects[i]->fields[0] = objects[i];
        }
        for (int i = kBatch - 1; i >= 0; --i) delete objects[i];
    }
}

template <typename T>
double Seconds(int threads) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) workers.emplace_back(Churn<T>);
    for (auto& worker : workers) worker.join();
    QueryPerformanceCounter(&end);
    return double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

}  // namespace

int main() {
    Churn<PooledNode>();  // warm both up: blocks and caches exist afterwards
    Churn<PlainNode>();
    const double operations = 2.0 * kBatch * kRounds;
    for (int threads = 1; threads <= 2; ++threads) {
        const double pooled = Seconds<PooledNode>(threads);
        const double plain = Seconds<PlainNode>(threads);
        std::printf("%d thread(s): pooled %.1f ns/op, new/delete %.1f ns/op, pooled is %.2fx faster\n",
                    threads, pooled * 1e9 / (operations * threads), plain * 1e9 / (operations * threads),
                    plain / pooled);
    }
    return 0;
}
