#include "platform/lha/huffman.h"

#include <algorithm>
#include <array>
#include <vector>

namespace kb::lha {

int huffmanLengths(std::span<const std::uint32_t> freq, std::span<std::uint8_t> lengths, int maxBits,
                   int* single) {
    std::fill(lengths.begin(), lengths.end(), std::uint8_t{0});
    std::vector<int> leaves;
    for (std::size_t s = 0; s < freq.size(); ++s)
        if (freq[s] != 0)
            leaves.push_back(static_cast<int>(s));
    const std::size_t used = leaves.size();
    *single = used == 1 ? leaves[0] : 0;
    if (used < 2)
        return static_cast<int>(used);

    std::stable_sort(leaves.begin(), leaves.end(), [&](int a, int b) { return freq[a] < freq[b]; });

    // Two queues: the sorted leaves, and the internal nodes, which are made in ascending weight order.
    std::vector<std::uint64_t> nodeWeight(used - 1);
    std::vector<std::size_t> nodeParent(used - 1, 0);
    std::vector<std::size_t> leafParent(used, 0);
    std::size_t li = 0, ni = 0;
    for (std::size_t made = 0; made + 1 < used; ++made) {
        std::uint64_t sum = 0;
        for (int pick = 0; pick < 2; ++pick) {
            if (li < used && (ni >= made || freq[leaves[li]] <= nodeWeight[ni])) {
                leafParent[li] = made;
                sum += freq[leaves[li++]];
            } else {
                nodeParent[ni] = made;
                sum += nodeWeight[ni++];
            }
        }
        nodeWeight[made] = sum;
    }

    // The root is the last node made; every other node's parent was made after it.
    std::vector<int> nodeDepth(used - 1, 0);
    for (std::size_t k = used - 1; k-- > 1;)
        nodeDepth[k - 1] = nodeDepth[nodeParent[k - 1]] + 1;

    std::array<int, kMaxCodeBits + 2> count{};
    for (std::size_t i = 0; i < used; ++i)
        ++count[std::min(nodeDepth[leafParent[i]] + 1, maxBits)];

    // Clamping deep leaves to maxBits overfills the code space; each step moves one leaf down a level,
    // taking one unit of 2^-maxBits off the Kraft sum, until the code is complete again.
    std::uint64_t kraft = 0;
    for (int l = 1; l <= maxBits; ++l)
        kraft += static_cast<std::uint64_t>(count[l]) << (maxBits - l);
    for (; kraft > (std::uint64_t{1} << maxBits); --kraft) {
        --count[maxBits];
        for (int l = maxBits - 1; l > 0; --l) {
            if (count[l] != 0) {
                --count[l];
                count[l + 1] += 2;
                break;
            }
        }
    }

    // The most frequent symbols take the shortest codes.
    std::size_t idx = used;
    for (int l = 1; l <= maxBits; ++l)
        for (int c = count[l]; c > 0; --c)
            lengths[leaves[--idx]] = static_cast<std::uint8_t>(l);
    return static_cast<int>(used);
}

void canonicalCodes(std::span<const std::uint8_t> lengths, std::span<std::uint16_t> codes) {
    std::array<unsigned, kMaxCodeBits + 2> count{};
    for (std::uint8_t l : lengths)
        ++count[l];
    std::array<unsigned, kMaxCodeBits + 2> next{};
    for (int l = 1; l < kMaxCodeBits; ++l)
        next[l + 1] = (next[l] + count[l]) << 1;
    for (std::size_t s = 0; s < lengths.size(); ++s)
        codes[s] = lengths[s] ? static_cast<std::uint16_t>(next[lengths[s]]++) : std::uint16_t{0};
}

} // namespace kb::lha
