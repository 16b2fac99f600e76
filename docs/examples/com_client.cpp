// A C++ front-desk program on the TavoCard component through COM: open the
// encoder, issue a guest card, read it back, check it out, close the
// encoder. Prints each result; exits 1 when a step did not do its work.
//
//   x86_64-w64-mingw32-g++ -static com_client.cpp -lole32 -loleaut32 -luuid -o com_client.exe
//   (or: cl /EHsc com_client.cpp ole32.lib oleaut32.lib)
//
// It needs holvanter.dll registered (the installer, or regsvr32), a hotel
// named by the Tavoper.ini beside it, and a blank card on the encoder of
// port 0. Build it for the architecture of the holvanter.dll it should use.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <ctime>
#include <cwchar>
#include <string>

// The component's default interface _TavoCard, as its type library describes
// it: a dual interface, so C++ calls it through the vtable. (With MSVC,
// #import "holvanter.dll" gives the same declarations.)
struct ITavoCard : public IDispatch {
  virtual HRESULT STDMETHODCALLTYPE OpenPort(long port, long baud, long* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE ClosePort(long IcDevH, long* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE WriteCard(long IcDevH, BSTR BeginDate, BSTR EndDate,
                                              BSTR* CardNo, short BldgNo, short FloorNo,
                                              BSTR Rooms, BSTR HoderName, short* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReadCard(long IcDevH, BSTR* CardNo, BSTR* RoomNO,
                                             BSTR* BeginDate, BSTR* EndDate, short* result) = 0;
  virtual HRESULT STDMETHODCALLTYPE VillaCard(long IcDevH, BSTR BeginDate, BSTR EndDate,
                                              BSTR* CardNo, short BldgNo, short FloorNo,
                                              BSTR RoomNO, BSTR HoderName, short* result) = 0;
};
const IID kIidTavoCard = {0x6C2305BD, 0x69A4, 0x44ED,
                          {0x86, 0xCB, 0x45, 0xB8, 0xA5, 0x1B, 0x45, 0xA6}};

// A BSTR that frees itself.
struct Text {
  BSTR b;
  explicit Text(const wchar_t* s = L"") : b(SysAllocString(s)) {}
  ~Text() { SysFreeString(b); }
  std::string Utf8() const {
    const int n = WideCharToMultiByte(CP_UTF8, 0, b, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, b, -1, &s[0], n, nullptr, nullptr);
    return s;
  }
};

// A call failed without a result code: the HRESULT and the component's words.
bool Failed(const char* step, HRESULT hr) {
  if (SUCCEEDED(hr)) return false;
  std::string why;
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) == S_OK && info != nullptr) {
    Text description;
    SysFreeString(description.b);
    description.b = nullptr;
    if (SUCCEEDED(info->GetDescription(&description.b)) && description.b) why = description.Utf8();
    info->Release();
  }
  std::printf("%s failed: 0x%08lX %s\n", step, static_cast<unsigned long>(hr), why.c_str());
  return true;
}

// The stamp YYYYMMDDhhmm of hour:00 local time, the given number of days from
// today.
std::wstring Stamp(int days, int hour) {
  const std::time_t now = std::time(nullptr);
  std::tm day = *std::localtime(&now);
  day.tm_mday += days;  // std::mktime carries it into the next month or year
  day.tm_hour = hour;
  day.tm_min = day.tm_sec = 0;
  day.tm_isdst = -1;
  std::mktime(&day);
  wchar_t text[13];
  std::wcsftime(text, 13, L"%Y%m%d%H%M", &day);
  return text;
}

int Run(ITavoCard* card) {
  long handle = 0;
  if (Failed("OpenPort", card->OpenPort(0, 0, &handle))) return 1;
  std::printf("OpenPort=%ld\n", handle);  // port + 1 when the encoder opened, else -99
  if (handle != 1) return 1;

  // A guest card for room 0203 on floor 2 of building 1, from today 14:00 to
  // the day after tomorrow 12:00; CardNo receives the new card number as six
  // hexadecimal figures.
  Text begin(Stamp(0, 14).c_str()), end(Stamp(2, 12).c_str()), room(L"0203"), holder(L"Li Wei");
  Text card_no;
  short result = 0;
  if (Failed("WriteCard", card->WriteCard(handle, begin.b, end.b, &card_no.b, 1, 2, room.b,
                                          holder.b, &result)))
    return 1;
  std::printf("WriteCard=%d card number (hex) %s\n", result, card_no.Utf8().c_str());
  if (result != 0) return 1;

  Text read_no, rooms, read_begin, read_end;
  if (Failed("ReadCard",
             card->ReadCard(handle, &read_no.b, &rooms.b, &read_begin.b, &read_end.b, &result)))
    return 1;
  std::printf("ReadCard=%d card %s rooms %s begin %s end %s\n", result, read_no.Utf8().c_str(),
              rooms.Utf8().c_str(), read_begin.Utf8().c_str(), read_end.Utf8().c_str());
  if (result != 0) return 1;

  // Room 0000 checks the card out: rooms released, record closed, card erased.
  // The stamps must still be acceptable ones; the check-out does not use them.
  Text check_out(L"0000"), nobody, unused;
  if (Failed("check-out", card->WriteCard(handle, begin.b, end.b, &unused.b, 1, 2, check_out.b,
                                          nobody.b, &result)))
    return 1;
  std::printf("check-out=%d\n", result);
  if (result != 0) return 1;

  long closed = 0;
  card->ClosePort(handle, &closed);
  std::printf("ClosePort=%ld\n", closed);
  return 0;
}

int main() {
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  int status = 1;
  CLSID clsid;
  ITavoCard* card = nullptr;
  if (Failed("CLSIDFromProgID", CLSIDFromProgID(L"Holvanter.TavoCard", &clsid))) {
    // not registered: run the installer, or regsvr32 holvanter.dll
  } else if (!Failed("CoCreateInstance",
                     CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, kIidTavoCard,
                                      reinterpret_cast<void**>(&card)))) {
    status = Run(card);
    card->Release();
  }
  CoUninitialize();
  return status;
}
