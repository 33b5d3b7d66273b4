#include "tools/kit/record_trust.h"

#include "platform/text.h"
#include "product/record_key.h"
#include "product/run_record.h"
#include "tools/kit/cli.h"

std::string DescribeRecordsKeyRefusal(TrustRefusal refusal) {
  return "the records key HKLM\\" + NarrowToUtf8(kRecordsKey) + ": " +
         DescribeTrustRefusal(refusal) + ": its record is not believed";
}

bool RecordsKeyBelieved() {
  const TrustRefusal refusal = CheckRecordsKey();
  if (refusal == TrustRefusal::kNone) return true;
  PrintError(RunningTool(), DescribeRecordsKeyRefusal(refusal));
  return false;
}
