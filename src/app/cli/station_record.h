// The command line's names for the record layer (src/record).
#pragma once

#include "record/file_record.h"
#include "record/record.h"
#include "record/record_text.h"

namespace orvik::cli {

using record::CsvCell;
using record::CsvCellText;
using record::CsvHeader;
using record::DescribeImage;
using record::FormatRecordLine;
using record::IsoLocalTime;
using record::ReadRecord;
using record::RecordContents;
using record::RecordFormat;
using record::RecordFormatFor;
using record::RecordImage;
using record::RecordIndex;
using record::RecordLine;
using FileRecord = record::FileRecord;

}  // namespace orvik::cli
