#include "Table.h"

#include "Text.h"

namespace {

const WCHAR kUnknown[] = L"-";

PCWSTR OrUnknown(PCWSTR text)
{
    return text[0] != 0 ? text : kUnknown;
}

void AddOpen(CText& line, const CPortStatus& s)
{
    line.Add(!s.haveOpen ? kUnknown : s.open ? L"yes" : L"no");
}

void AddCount(CText& line, bool have, ULONGLONG value)
{
    if (have) {
        line.Number(value);
    } else {
        line.Add(kUnknown);
    }
}

// "8N1": data bits, parity, stop bits, as serial settings are written.
void AddLineControl(CText& line, const CPortStatus& s)
{
    const WCHAR parities[] = L"NOEMS";
    PCWSTR const stops[] = {L"1", L"1.5", L"2"};
    if (!s.haveLine || s.parity > 4 || s.stopBits > 2) {
        line.Add(kUnknown);
        return;
    }
    line.Number(s.wordLength).Add(&parities[s.parity], 1).Add(stops[s.stopBits]);
}

void AddIds(CText& line, const CPortEntry& port, const CPortStatus& s)
{
    line.Hex4(s.haveIds ? s.vendorId : port.vendorId).Add(L":").Hex4(s.haveIds ? s.productId : port.productId);
}

// Bytes per second from two readings of a counter that wraps at 2^32.
void AddRate(CText& line, bool have, ULONG now, ULONG before, ULONG elapsedMs)
{
    if (!have || elapsedMs == 0) {
        line.Add(kUnknown);
        return;
    }
    ULONG moved = now - before;
    line.Number((ULONGLONG)moved * 1000 / elapsedMs);
}

ULONG FriendlyColumnWidth(const CPortList& list)
{
    ULONG width = 13;  // "FRIENDLY NAME"
    for (ULONG i = 0; i < list.count; i++) {
        ULONG n = TextLength(OrUnknown(list.ports[i].friendlyName));
        width = n > width ? n : width;
    }
    return width > 60 ? 60 : width;
}

void WriteTruncation(CTextSink& out, const CPortList& list)
{
    if (list.truncated) {
        CText line;
        line.Add(L"(only the first ").Number(CPortList::kMaxPorts).Add(L" ports are shown)").Line(out);
    }
}

}  // namespace

void WriteListTable(CTextSink& out, const CSurvey& survey)
{
    const ULONG friendly = 10;
    ULONG open = friendly + FriendlyColumnWidth(survey.list) + 2;
    ULONG received = open + 6, sent = received + 12, baud = sent + 12, lineControl = baud + 10, ids = lineControl + 7;
    CText line;
    line.Add(L"PORT").Pad(friendly).Add(L"FRIENDLY NAME").Pad(open).Add(L"OPEN");
    line.Pad(received).Add(L"RECEIVED").Pad(sent).Add(L"SENT").Pad(baud).Add(L"BAUD").Pad(lineControl).Add(L"LINE");
    line.Pad(ids).Add(L"VID:PID").Line(out);
    for (ULONG i = 0; i < survey.list.count; i++) {
        const CPortEntry& port = survey.list.ports[i];
        const CPortStatus& s = survey.status[i];
        line.Add(OrUnknown(port.portName)).Pad(friendly).Add(OrUnknown(port.friendlyName)).Pad(open);
        AddOpen(line, s);
        line.Pad(received);
        AddCount(line, s.haveReceived, s.received);
        line.Pad(sent);
        AddCount(line, s.haveSent, s.sent);
        line.Pad(baud);
        AddCount(line, s.haveBaud, s.baud);
        line.Pad(lineControl);
        AddLineControl(line, s);
        line.Pad(ids);
        AddIds(line, port, s);
        line.Line(out);
    }
    WriteTruncation(out, survey.list);
}

ULONG WriteWatchTable(CTextSink& out, const CSurvey& now, const CSurvey* before, ULONG elapsedMs)
{
    const ULONG open = 10, received = 16, sent = 28, inRate = 40, outRate = 52;
    CText line;
    line.Add(L"PORT").Pad(open).Add(L"OPEN").Pad(received).Add(L"RECEIVED").Pad(sent).Add(L"SENT");
    line.Pad(inRate).Add(L"IN B/S").Pad(outRate).Add(L"OUT B/S").Line(out);
    for (ULONG i = 0; i < now.list.count; i++) {
        const CPortEntry& port = now.list.ports[i];
        const CPortStatus& s = now.status[i];
        // A reading of the same port before: the same instance, both counters known.
        const CPortStatus* was = nullptr;
        for (ULONG j = 0; before != nullptr && j < before->list.count; j++) {
            if (TextEquals(before->list.ports[j].instance, port.instance)) {
                was = &before->status[j];
            }
        }
        line.Add(OrUnknown(port.portName)).Pad(open);
        AddOpen(line, s);
        line.Pad(received);
        AddCount(line, s.haveReceived, s.received);
        line.Pad(sent);
        AddCount(line, s.haveSent, s.sent);
        line.Pad(inRate);
        AddRate(line, was && was->haveReceived && s.haveReceived, s.received, was ? was->received : 0, elapsedMs);
        line.Pad(outRate);
        AddRate(line, was && was->haveSent && s.haveSent, s.sent, was ? was->sent : 0, elapsedMs);
        line.Line(out);
    }
    WriteTruncation(out, now.list);
    return 1 + now.list.count + (now.list.truncated ? 1 : 0);
}
