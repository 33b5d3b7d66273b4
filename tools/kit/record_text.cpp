#include "tools/kit/record_text.h"

#include "platform/text.h"

std::string DescribeRecord(RecordRead read, const RunRecord& record) {
  if (read == RecordRead::kMissing) return "none: no run applied this package here";
  if (read == RecordRead::kUnreadable) return "cannot be read";
  std::string text =
      NarrowToUtf8(RecordStateName(record.state)) + ", started " + NarrowToUtf8(record.started);
  if (!record.ended.empty()) text += ", ended " + NarrowToUtf8(record.ended);
  if (record.state == RecordState::kApplying) {
    text += ": the run was cut off (incomplete) " +
            (record.reached == 0 ? std::string("before its commit")
                                 : "at entry " + std::to_string(record.reached));
  }
  if (record.state == RecordState::kSkipped) {
    text += ": entry " + std::to_string(record.failedEntry) +
            " does not hold the package's file (skipped)";
  }
  if (record.state == RecordState::kFailed)
    text += ": the run stopped at entry " + std::to_string(record.failedEntry);
  if (record.state == RecordState::kUndone) text += ", undone " + NarrowToUtf8(record.undone);
  if (record.state == RecordState::kPartlyUndone) {
    text += ", partly undone " + NarrowToUtf8(record.undone) +
            ": some of what the run did is still in place";
  }
  return text;
}

Json::Value RecordJson(const std::string& packageId, RecordRead read, const RunRecord& record) {
  if (read != RecordRead::kFound) return Json::Value();
  Json::Value json(Json::objectValue);
  json["package_id"] = packageId;
  json["key"] = "HKLM\\" + NarrowToUtf8(kRecordsKey) + "\\" + packageId;
  json["state"] = NarrowToUtf8(RecordStateName(record.state));
  json["started"] = NarrowToUtf8(record.started);
  json["ended"] = NarrowToUtf8(record.ended);
  json["undone"] = NarrowToUtf8(record.undone);
  json["failed_entry"] = static_cast<Json::UInt>(record.failedEntry);
  json["reached_entry"] = static_cast<Json::UInt>(record.reached);
  return json;
}
