// the cumulative, delta and threshold rules applied to a counter's new value

#include "monitor/pipeline_rules.h"

uint64_t& orlixmon_pipeline_state_s::prev(kind_e kind, size_t object, size_t position)
{
    auto& rows = rows_[kind];
    if (object >= rows.size())
        rows.resize(object + 1);
    auto& row = rows[object];
    if (position >= row.size())
        row.resize(position + 1, 0);
    return row[position];
}

uint64_t* orlixmon_pipeline_state_s::row(kind_e kind, size_t object, size_t positions)
{
    auto& rows = rows_[kind];
    if (object >= rows.size())
        rows.resize(object + 1);
    auto& row = rows[object];
    if (row.size() < positions)
        row.resize(positions, 0);
    return row.data();
}

void orlixmon_pipeline_state_s::clear()
{
    for (auto& rows : rows_)
        rows.clear();
}
