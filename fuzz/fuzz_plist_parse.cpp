// Property-list bytes from anywhere (settings files, photo metadata, command-line values).
// Besides not crashing: whatever the bounds checks let through to libplist builds no deeper
// and no larger a tree than they measured, and what the XML check calls malformed libplist
// refuses too (inputs here are small, so libplist can be run on everything).
#include "platform/PropertyList.h"
#include "platform/PropertyListBounds.h"

#include <QByteArray>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <plist/plist.h>
#include <vector>

namespace {

using namespace kivo::plist::bounds;

struct Tree {
    int depth = 0;
    qint64 values = 0; // keys included, as the checks count them
    qint64 keyComparisons = 0;
};

// Iterative, so a tree the checks got wrong cannot crash the measuring.
Tree measure(plist_t root) {
    Tree tree;
    std::vector<std::pair<plist_t, int>> pending{{root, 1}};
    while (!pending.empty()) {
        const auto [node, depth] = pending.back();
        pending.pop_back();
        ++tree.values;
        tree.depth = std::max(tree.depth, depth);
        if (plist_get_node_type(node) == PLIST_ARRAY) {
            for (uint32_t i = 0; i < plist_array_get_size(node); ++i)
                pending.emplace_back(plist_array_get_item(node, i), depth + 1);
        } else if (plist_get_node_type(node) == PLIST_DICT) {
            const qint64 keys = plist_dict_get_size(node);
            tree.keyComparisons += keys * (keys - 1) / 2;
            plist_dict_iter it = nullptr;
            plist_dict_new_iter(node, &it);
            for (;;) {
                char* key = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, it, &key, &item);
                free(key);
                if (!item)
                    break;
                ++tree.values;
                pending.emplace_back(item, depth + 1);
            }
            free(it);
        }
    }
    return tree;
}

void check(const Extent& extent, plist_t root, const char* format) {
    if (extent.verdict == Verdict::Malformed && root && format[0] == 'x') {
        std::fprintf(stderr, "XML check says malformed (%s), libplist parsed it\n",
                     qPrintable(extent.why));
        std::abort();
    }
    if (extent.verdict != Verdict::Ok || !root)
        return;
    const Tree tree = measure(root);
    if (tree.depth > extent.depth || tree.values > extent.values ||
        tree.keyComparisons > extent.keyComparisons) {
        std::fprintf(stderr,
                     "%s: measured depth %d, %lld values, %lld key comparisons; libplist built "
                     "%d, %lld, %lld\n",
                     format, extent.depth, qint64(extent.values), qint64(extent.keyComparisons),
                     tree.depth, qint64(tree.values), qint64(tree.keyComparisons));
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    kivo::plist::parse(bytes);

    plist_t root = nullptr;
    if (plist_is_binary(bytes.constData(), uint32_t(size))) {
        const Extent extent = measureBinary(bytes);
        // Refused input is never handed over: it may be a bomb.
        if (extent.verdict == Verdict::Ok)
            plist_from_bin(bytes.constData(), uint32_t(size), &root);
        check(extent, root, "binary");
    } else {
        const Extent extent = measureXml(bytes);
        if (extent.verdict != Verdict::TooLarge)
            plist_from_xml(bytes.constData(), uint32_t(size), &root);
        check(extent, root, "xml");
    }
    plist_free(root);
    return 0;
}
