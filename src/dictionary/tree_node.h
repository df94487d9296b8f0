#ifndef LODEMIG_DICTIONARY_TREE_NODE_H_
#define LODEMIG_DICTIONARY_TREE_NODE_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace lodemig {

// One node of a parsed settings file. A node may hold a scalar value, keyed
// children and indexed children at once (only through a repeated key). Keys
// are byte strings compared as unsigned bytes, so iteration runs in byte
// order, not file order. A node owns its whole subtree; nodes are not copied.
class TreeNode {
 public:
  using Children = std::map<std::string, std::unique_ptr<TreeNode>>;
  using Elements = std::map<std::uint32_t, std::unique_ptr<TreeNode>>;

  TreeNode() = default;
  virtual ~TreeNode() = default;
  TreeNode(const TreeNode&) = delete;
  TreeNode& operator=(const TreeNode&) = delete;

  // The child stored under `key`, created empty first when absent: reading
  // an absent key yields an empty value (and leaves the empty node behind).
  TreeNode& child(const std::string& key);
  // The same for the array elements.
  TreeNode& element(std::uint32_t index);

  const std::string& value() const { return value_; }
  void setValue(std::string text) { value_ = std::move(text); }

  const Children& children() const { return children_; }
  const Elements& elements() const { return elements_; }

 private:
  std::string value_;
  Children children_;
  Elements elements_;
};

}  // namespace lodemig

#endif  // LODEMIG_DICTIONARY_TREE_NODE_H_
