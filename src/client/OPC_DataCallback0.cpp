#include "OPC_DataCallback0.h"

#include "DataChangeBlock.h"
#include "ErrorString.h"
#include "Host.h"
#include "Logger.h"
#include "OPC_Connection.h"

void OPC_DataCallback0::OnDataChange(FORMATETC* format, STGMEDIUM* medium)
{
    const Delivery delivery(*this);
    OPC_Connection* const connection = delivery.connection();
    if (!connection || !format || !medium) return;
    if (!medium->hGlobal) return;
    if (format->cfFormat != Co::dataTimeFormat()) return;
    const void* memory = GlobalLock(medium->hGlobal);
    if (!memory) return;

    const DataChangeBlock block(memory, GlobalSize(medium->hGlobal));
    const ItemNotificationBatch batch;  // the block's notifications go out together at its end
    const char* prefixHost = connection->ownerHost()->name().c_str();
    const char* prefixName = connection->name().c_str();
    if (!block.valid()) {
        LOGG(2, "%s|%s: DataCallback: a block of %zu bytes has no room for its header", prefixHost, prefixName,
             GlobalSize(medium->hGlobal));
    } else {
        if (FAILED(block.status()))
            LOGG(2, "%s|%s: DataCallback::hrStatus Failed: %s", prefixHost, prefixName,
                 ErrorString(block.status()).c_str());
        const std::uint32_t count = block.itemCount();
        const std::uint32_t fit = block.headersThatFit();
        connection->countChangesOffered(fit);
        if (fit < count)
            LOGG(2, "%s|%s: DataCallback: %u item headers announced, %u fit in the block of %zu bytes", prefixHost,
                 prefixName, count, fit, GlobalSize(medium->hGlobal));
        for (std::uint32_t i = 0; i < fit; ++i) {
            DataChangeBlock::ItemHeader header;
            block.itemHeader(i, header);
            VARIANT value;
            VariantInit(&value);
            const DataChangeBlock::Value result = block.readValue(header.valueOffset, value);
            if (result != DataChangeBlock::Value::Ok) {
                // Nothing is taken from such a record, but its header still counts: the item gets
                // an empty value with the quality and time the server sent (often a BAD quality
                // that says why there is no value).
                LOGG(2, "%s|%s: DataCallback: the value of item #%d at offset %u %s; the item gets an empty value",
                     prefixHost, prefixName, static_cast<int>(header.clientHandle), header.valueOffset,
                     result == DataChangeBlock::Value::DoesNotFit ? "runs past the end of the block"
                                                                  : "is of a type the block cannot carry");
            }
            connection->onItemNewValue(header.clientHandle, &value, &header.timeStamp, header.quality);
            VariantClear(&value);
        }
    }
    GlobalUnlock(medium->hGlobal);
}
