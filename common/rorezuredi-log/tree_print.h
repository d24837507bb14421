// The printed forms of a tree and of the differences between two: veltctl
// dump's lines, byte for byte, and JSON.
#ifndef ROREZUREDI_LOG_TREE_PRINT_H
#define ROREZUREDI_LOG_TREE_PRINT_H

#include <cstdio>
#include <string>

#include "store_state.h"

namespace logtool {

// Buffered lines to a stream; ok() is false once a write has failed.
class line_out {
public:
    explicit line_out(FILE* out) : m_out(out) {}
    ~line_out() { flush(); }
    line_out(const line_out&) = delete;
    line_out& operator=(const line_out&) = delete;

    std::string& text() { return m_text; }  // append a line here, then end_line()
    void end_line();
    // Writes what is buffered; false when anything failed to be written.
    bool flush();

private:
    FILE* m_out;
    std::string m_text;
    bool m_ok = true;
};

// The entries under `e`, which lies at `path` (and `e` itself unless `path`
// is "/"), as veltctl dump [--times] prints them.
void print_dump(line_out& out, const store_entry& e, std::string path, bool times);
// The tree under `root` as one JSON object: a node is {"kind": "node",
// "children": {NAME: ...}}, a leaf {"kind": "leaf", "type": T, "value": TEXT}
// with "time": "SEC.USEC" when `times`.
void print_json(line_out& out, const store_entry& root, bool times);

// One difference as a line: "+ node /a", "- leaf /b uint32 5",
// "~ leaf /c uint32 5 -> 6" (the new type is written when it differs), with
// " @SEC.USEC" after each value when `times`.
void print_change(line_out& out, const change& c, bool times);
// The differences as a JSON array, one object a line: {"op", "kind", "path",
// and for leaves "type", "value" (and "old_type", "old_value" for "~"), and
// "time", "old_time" when `times`}; finish() closes the array.
class json_changes {
public:
    json_changes(line_out& out, bool times) : m_out(out), m_times(times) {}
    void add(const change& c);
    void finish();

private:
    line_out& m_out;
    bool m_times;
    bool m_first = true;
};

}  // namespace logtool

#endif
