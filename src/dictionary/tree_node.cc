#include "dictionary/tree_node.h"

namespace lodemig {

TreeNode& TreeNode::child(const std::string& key) {
  std::unique_ptr<TreeNode>& slot = children_[key];
  if (!slot) {
    slot = std::make_unique<TreeNode>();
  }
  return *slot;
}

TreeNode& TreeNode::element(std::uint32_t index) {
  std::unique_ptr<TreeNode>& slot = elements_[index];
  if (!slot) {
    slot = std::make_unique<TreeNode>();
  }
  return *slot;
}

}  // namespace lodemig
