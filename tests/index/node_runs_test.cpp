// KTobjNodeRuns: the nodes of a bulk build go out through a window of the
// file, a write per stretch of adjacent nodes. Whatever the order the
// nodes come in (leaves in order, interior nodes completed a few leaves
// after their place was taken, high nodes long after the window has left
// them, a node far past it), every node's bytes land where they belong,
// each once, and a build that fills its places mostly in order takes far
// fewer writes than nodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "index/index_file.h"
#include "index/node_runs.h"

namespace {

// An index file that keeps what is written to it in memory.
class MemoryFile : public tessera::KTobjIndexFile {
 public:
  explicit MemoryFile(int32_t unit) : KTobjIndexFile(nullptr), unit_(unit) {}
  bool WriteBlock(int32_t offset, const void* buffer, int32_t count) override {
    const size_t at = static_cast<size_t>(offset) * static_cast<size_t>(unit_);
    const size_t end = at + static_cast<size_t>(count);
    if (bytes.size() < end) {
      bytes.resize(end, 0);
      times.resize(end, 0);
    }
    std::copy_n(static_cast<const uint8_t*>(buffer), count, bytes.begin() + static_cast<std::ptrdiff_t>(at));
    for (size_t i = at; i < end; ++i) ++times[i];
    ++calls;
    return true;
  }
  std::vector<uint8_t> bytes;
  std::vector<int> times;  // how often each byte was written
  int calls = 0;

 private:
  int32_t unit_;
};

// The node at block `block`: its bytes say which it is.
std::vector<uint8_t> NodeImage(int32_t block, int32_t size) {
  std::vector<uint8_t> node(static_cast<size_t>(size));
  for (int32_t i = 0; i < size; ++i) node[static_cast<size_t>(i)] = static_cast<uint8_t>(block * 7 + i);
  return node;
}

// Blocks in the order a bottom-up build completes them: two levels of
// interior nodes above the leaves, each interior node's place taken when
// it gets its first entry and the node completed `fanout` children later;
// the last nodes of every level at the end, and block 0 (taken first, as
// a tag's header is) last of all.
std::vector<int32_t> BuildOrder(int leaves, int fanout) {
  std::vector<int32_t> order;
  int32_t next = 1;
  int32_t level1 = -1, level2 = -1;
  int in1 = 0, in2 = 0;
  for (int i = 0; i < leaves; ++i) {
    const int32_t leaf = next++;
    if (level1 < 0) level1 = next++;
    if (level2 < 0) level2 = next++;
    order.push_back(leaf);
    if (++in1 == fanout) {
      order.push_back(level1);
      level1 = -1;
      in1 = 0;
      if (++in2 == fanout) {
        order.push_back(level2);
        level2 = -1;
        in2 = 0;
      }
    }
  }
  if (level1 >= 0) order.push_back(level1);
  if (level2 >= 0) order.push_back(level2);
  order.push_back(0);
  return order;
}

TEST(NodeRuns, EveryNodeLandsInItsPlaceOnceWithFewWrites) {
  for (int32_t unit : {1, 512}) {
    for (int32_t node_size : {512, 1024}) {
      SCOPED_TRACE(::testing::Message() << "unit " << unit << ", node " << node_size);
      const int32_t blocks_per_node = node_size / 512;
      std::vector<int32_t> order = BuildOrder(1500, 7);
      // A node far past the window.
      order.insert(order.end() - 1, static_cast<int32_t>(order.size()) + 5000);
      MemoryFile file(unit);
      tessera::KTobjNodeRuns runs(unit);
      for (int32_t node : order) {
        const std::vector<uint8_t> image = NodeImage(node, node_size);
        const int32_t at = unit == 1 ? node * node_size : node * blocks_per_node;
        runs.Add(&file, at, image.data(), node_size);
      }
      runs.Flush(&file);
      runs.Flush(&file);  // nothing left to write

      for (int32_t node : order) {
        const std::vector<uint8_t> image = NodeImage(node, node_size);
        const size_t at = static_cast<size_t>(node) * static_cast<size_t>(node_size);
        ASSERT_LE(at + image.size(), file.bytes.size());
        EXPECT_TRUE(std::equal(image.begin(), image.end(), file.bytes.begin() + static_cast<std::ptrdiff_t>(at)))
            << "node " << node;
      }
      // Each node's bytes written once, and nothing between the nodes.
      const size_t once = static_cast<size_t>(std::count(file.times.begin(), file.times.end(), 1));
      EXPECT_EQ(once, order.size() * static_cast<size_t>(node_size));
      EXPECT_EQ(std::count_if(file.times.begin(), file.times.end(), [](int n) { return n > 1; }), 0);
      EXPECT_LT(file.calls, static_cast<int>(order.size()) / 8);
    }
  }
}

}  // namespace
