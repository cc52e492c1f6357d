#include "read/columns.h"

#include <algorithm>

#include <new>

namespace vorn::codec {

bool ColumnSink::init(size_t input_size) {
    columns_ = new (std::nothrow) ColumnBuffers[plan_.slots > 0 ? plan_.slots : 1];
    if (!columns_) return false;
    // A column's text is at most the input; its rows at most one per two
    // cells' bytes of the input (each cell takes two at least).
    const size_t width = plan_.width > 0 ? size_t(plan_.width) : 1;
    const size_t rows = input_size / (2 * width) + 2;
    const size_t entry = plan_.layout == StringLayout::View ? 16 : plan_.layout == StringLayout::Large ? 8 : 4;
    for (int32_t s = 0; s < plan_.slots; ++s) {
        ColumnBuffers& c = columns_[s];
        // Before any batch: twice a column's share of the input (its text
        // is at most the input), and an entry for the most rows it holds.
        const size_t share = input_size / size_t(plan_.slots) * 2 + 4096;
        size_t data = std::min(input_size, share) + 64;
        size_t index = rows * entry + 64;
        if (plan_.last_sizes) {
            // A quarter more than the last batch took, and some: a column
            // grows now and then rather than reserving a block's worth
            // each, so that the pool's memory holds what batches use.
            const size_t last_data = plan_.last_sizes[2 * s].load(std::memory_order_relaxed);
            const size_t last_index = plan_.last_sizes[2 * s + 1].load(std::memory_order_relaxed);
            if (last_data) data = std::min(data, last_data + last_data / 4 + 4096);
            if (last_index) index = std::min(index, last_index + last_index / 4 + 4096);
        }
        if (!c.data.reserve(data) || !c.index.reserve(index)) return false;
        if (plan_.layout == StringLayout::Large) {
            const int64_t zero = 0;
            c.index.put(&zero, 8);
        } else if (plan_.layout == StringLayout::Small) {
            const int32_t zero = 0;
            c.index.put(&zero, 4);
        }
    }
    return true;
}

bool ColumnSink::append_long_view(ColumnBuffers& column, int32_t slot, const uint8_t* payload, size_t bytes) {
    ByteBuffer& data = column.data;
    ByteBuffer& index = column.index;
    if (bytes > size_t(INT32_MAX) || data.size + bytes > size_t(INT32_MAX)) return too_large(slot);
    if (!index.reserve(16) || !data.reserve(bytes)) return refuse(SinkFault::Kind::NoMemory);
    // Its length, its first four bytes, the buffer (the one) and the offset.
    uint8_t view[16];
    const int32_t length = int32_t(bytes);
    const int32_t buffer = 0;
    const int32_t offset = int32_t(data.size);
    std::memcpy(view, &length, 4);
    std::memcpy(view + 4, payload, 4);
    std::memcpy(view + 8, &buffer, 4);
    std::memcpy(view + 12, &offset, 4);
    data.put(payload, bytes);
    index.put(view, 16);
    return true;
}

namespace {

// Drops a column's last cell: its end offset, and its bytes.
template <typename Offset>
void pop_offset(ByteBuffer& index, ByteBuffer& data) {
    index.size -= sizeof(Offset);
    Offset end = 0;
    std::memcpy(&end, index.data + index.size - sizeof(Offset), sizeof(Offset));
    data.size = size_t(end);
}

}  // namespace

void ColumnSink::unwind_open_row() {
    const int64_t stored = cell_ < plan_.width ? cell_ : plan_.width;
    for (int64_t col = 0; col < stored; ++col) {
        const int32_t slot = plan_.slot_of[col];
        if (slot < 0) continue;
        ByteBuffer& data = columns_[slot].data;
        ByteBuffer& index = columns_[slot].index;
        switch (plan_.layout) {
            case StringLayout::Large:
                pop_offset<int64_t>(index, data);
                break;
            case StringLayout::Small:
                pop_offset<int32_t>(index, data);
                break;
            case StringLayout::View: {
                index.size -= 16;
                int32_t length = 0;
                std::memcpy(&length, index.data + index.size, 4);
                if (length > 12) data.size -= size_t(length);
                break;
            }
        }
    }
    cell_ = 0;
}

bool ColumnSink::finish_short_row() {
    if (plan_.pad && cell_ < plan_.width) {
        for (int64_t col = cell_; col < plan_.width; ++col) {
            const int32_t slot = plan_.slot_of[col];
            // An empty cell, read from sixteen bytes as every short one is.
            static const uint8_t kEmpty[16] = {};
            if (slot >= 0 && !append(columns_[slot], slot, kEmpty, 0)) return false;
        }
        return true;
    }
    fault_.kind = SinkFault::Kind::Ragged;
    fault_.row = rows_;
    fault_.cells = cell_;
    return false;
}

bool ColumnSink::too_large(int32_t slot) {
    fault_.kind = SinkFault::Kind::TooLarge;
    fault_.row = rows_;
    fault_.slot = slot;
    return false;
}

bool ColumnSink::refuse(SinkFault::Kind kind) {
    fault_.kind = kind;
    fault_.row = rows_;
    return false;
}

bool FirstRowSink::cell(const uint8_t* payload, size_t bytes, int64_t, uint32_t) {
    if (size_ == capacity_) {
        const int64_t capacity = capacity_ ? capacity_ * 2 : 16;
        auto* grown = static_cast<Cell*>(std::realloc(cells_, size_t(capacity) * sizeof(Cell)));
        if (!grown) {
            out_of_memory_ = true;
            return false;
        }
        cells_ = grown;
        capacity_ = capacity;
    }
    cells_[size_++] = {payload, bytes};
    return true;
}

// --- Export ----------------------------------------------------------------

namespace {

// A string column: its buffers and the pointers Arrow reads them through.
struct ChildPrivate {
    uint8_t* index;
    uint8_t* data;
    int64_t data_size;  // the one variadic buffer's size (views)
    const void* buffers[4];
};

void release_child(ArrowArray* array) {
    if (!array->release) return;
    auto* p = static_cast<ChildPrivate*>(array->private_data);
    pool::release(p->index);
    pool::release(p->data);
    std::free(p);
    array->release = nullptr;
}

struct StructPrivate {
    ArrowArray* children;   // the children themselves
    ArrowArray** pointers;  // what the parent lists
    const void* buffers[1];
    int64_t count;
};

void release_struct(ArrowArray* array) {
    if (!array->release) return;
    auto* p = static_cast<StructPrivate*>(array->private_data);
    for (int64_t k = 0; k < p->count; ++k) {
        // A consumer may have moved a child out, leaving its release null.
        ArrowArray* child = p->pointers[k];
        if (child->release) child->release(child);
    }
    std::free(p->children);
    std::free(p->pointers);
    std::free(p);
    array->release = nullptr;
}

}  // namespace

const char* layout_format(StringLayout layout) {
    switch (layout) {
        case StringLayout::Small:
            return "u";
        case StringLayout::View:
            return "vu";
        default:
            return "U";
    }
}

bool export_batch(ColumnSink& sink, const ColumnPlan& plan, ArrowArray* out) {
    const int64_t count = plan.slots;
    auto* parent = static_cast<StructPrivate*>(std::calloc(1, sizeof(StructPrivate)));
    if (!parent) return false;
    parent->children = static_cast<ArrowArray*>(std::calloc(size_t(count ? count : 1), sizeof(ArrowArray)));
    parent->pointers = static_cast<ArrowArray**>(std::calloc(size_t(count ? count : 1), sizeof(ArrowArray*)));
    auto** privates = static_cast<ChildPrivate**>(std::calloc(size_t(count ? count : 1), sizeof(ChildPrivate*)));
    bool ok = parent->children && parent->pointers && privates;
    for (int64_t k = 0; ok && k < count; ++k) {
        privates[k] = static_cast<ChildPrivate*>(std::calloc(1, sizeof(ChildPrivate)));
        ok = privates[k] != nullptr;
    }
    if (!ok) {
        for (int64_t k = 0; privates && k < count; ++k) std::free(privates[k]);
        std::free(privates);
        std::free(parent->children);
        std::free(parent->pointers);
        std::free(parent);
        return false;
    }
    const int64_t rows = sink.rows();
    ColumnBuffers* columns = sink.columns();
    for (int64_t k = 0; k < count; ++k) {
        ChildPrivate* p = privates[k];
        if (plan.last_sizes) {
            plan.last_sizes[2 * k].store(columns[k].data.size, std::memory_order_relaxed);
            plan.last_sizes[2 * k + 1].store(columns[k].index.size, std::memory_order_relaxed);
        }
        p->data_size = int64_t(columns[k].data.size);
        p->index = columns[k].index.take();
        p->data = columns[k].data.take();
        ArrowArray* child = &parent->children[k];
        child->length = rows;
        child->null_count = 0;
        child->offset = 0;
        p->buffers[0] = nullptr;
        p->buffers[1] = p->index;
        p->buffers[2] = p->data;
        if (plan.layout == StringLayout::View) {
            p->buffers[3] = &p->data_size;
            child->n_buffers = 4;
        } else {
            child->n_buffers = 3;
        }
        child->n_children = 0;
        child->buffers = p->buffers;
        child->children = nullptr;
        child->dictionary = nullptr;
        child->release = release_child;
        child->private_data = p;
        parent->pointers[k] = child;
    }
    std::free(privates);
    parent->count = count;
    parent->buffers[0] = nullptr;
    out->length = rows;
    out->null_count = 0;
    out->offset = 0;
    out->n_buffers = 1;
    out->n_children = count;
    out->buffers = parent->buffers;
    out->children = parent->pointers;
    out->dictionary = nullptr;
    out->release = release_struct;
    out->private_data = parent;
    return true;
}

namespace {

struct SchemaPrivate {
    char* name;  // a column's, or null for the struct
    ArrowSchema* children;
    ArrowSchema** pointers;
    int64_t count;
};

void release_schema(ArrowSchema* schema) {
    if (!schema->release) return;
    auto* p = static_cast<SchemaPrivate*>(schema->private_data);
    for (int64_t k = 0; k < p->count; ++k) {
        ArrowSchema* child = p->pointers[k];
        if (child->release) child->release(child);
    }
    std::free(p->children);
    std::free(p->pointers);
    std::free(p->name);
    std::free(p);
    schema->release = nullptr;
}

}  // namespace

bool export_schema(StringLayout layout, const char* const* names, const size_t* name_sizes, int64_t count,
                   ArrowSchema* out) {
    auto* parent = static_cast<SchemaPrivate*>(std::calloc(1, sizeof(SchemaPrivate)));
    if (!parent) return false;
    parent->children = static_cast<ArrowSchema*>(std::calloc(size_t(count ? count : 1), sizeof(ArrowSchema)));
    parent->pointers = static_cast<ArrowSchema**>(std::calloc(size_t(count ? count : 1), sizeof(ArrowSchema*)));
    bool ok = parent->children && parent->pointers;
    int64_t made = 0;
    for (; ok && made < count; ++made) {
        auto* p = static_cast<SchemaPrivate*>(std::calloc(1, sizeof(SchemaPrivate)));
        char* name = static_cast<char*>(std::malloc(name_sizes[made] + 1));
        if (!p || !name) {
            std::free(p);
            std::free(name);
            ok = false;
            break;
        }
        std::memcpy(name, names[made], name_sizes[made]);
        name[name_sizes[made]] = '\0';
        p->name = name;
        ArrowSchema* child = &parent->children[made];
        *child = {layout_format(layout), name, nullptr, ARROW_FLAG_NULLABLE, 0, nullptr, nullptr,
                  release_schema, p};
        parent->pointers[made] = child;
    }
    parent->count = made;
    *out = {"+s", "", nullptr, 0, count, parent->pointers, nullptr, release_schema, parent};
    if (!ok) {
        release_schema(out);
        return false;
    }
    return true;
}

}  // namespace vorn::codec
