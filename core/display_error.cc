// DisplayError: a failure told to the person watching the job, as a log line, a user text left in
// the last error message and, for the codes and kinds that carry one, a job event. Also the job
// manager client that carries the events, and the local host name.

#include <cstring>
#include <vector>

#include "MediaFileSystem/zovadAdeveFS.h"
#include "platform/config.h"

namespace {

const char kSource[] = "zovadAdeveFS";
const char kUnknown[] = "UNKNOWN";

// Media kinds of DisplayError.
constexpr int kKindLibraryDrive = 0;
constexpr int kKindCloud = 2;

constexpr int kEventLibraryDrive = 0x28000040;
constexpr int kEventMagnetic = 0x28000041;
constexpr int kEventCloud = 0x2800006D;

// What fills a "%s" of a message or an extra event argument.
enum class Name { Path, LibraryName, DriveName, HostName };

// When a row raises its event.
enum class Raise {
  KindZeroWithAllNames,  // kind 0, and library, drive and barcode all known
  Always,                // kinds 0 and 1
  KindOneOnly,           // exactly kind 1
  Never,
};

struct MessageRow {
  unsigned long code;
  const char* message;       // every kind, unless kindOneMessage overrides it for kind 1
  const char* kindOneMessage;
  bool noKindZeroMessage;    // kind 0 has no message
  std::vector<Name> fill;    // "%s" values of the message (kind 0 when kind 1 has its own text)
  unsigned int reason;       // 0: getEvEventErrorCodeID(code)
  EvMessageType type;
  std::vector<Name> extras;  // extra event arguments (texts)
  Raise raise;
};

// 762 depends on the media (tape or disk) and is built separately.
const std::vector<MessageRow>& MessageTable() {
  static const std::vector<MessageRow> rows = {
      {751, "User impersonation failed.", nullptr, false, {}, 0, EvMsgWarning, {}, Raise::KindOneOnly},
      {761,
       "The device is busy or not yet initialized Please check whether the device is initialized and "
       "working properly",
       nullptr, false, {}, 0x28000043, EvMsgInfo, {}, Raise::KindZeroWithAllNames},
      {763,
       "The block size is incorrect on the tape  Please format the tape using Reelprobe.exe application "
       "and try again For more help call Tavrix Customer Support",
       nullptr, false, {}, 0x2800004F, EvMsgWarning, {}, Raise::KindZeroWithAllNames},
      {764,
       "Please check whether the correct version of drivers have been installed for this device Please "
       "check whether the SCSI Bus is terminated properly ",
       nullptr, false, {}, 0x2800004A, EvMsgInfo, {}, Raise::KindZeroWithAllNames},
      {765,
       "Drive did not respond to commands properly May be there are too many drives on the SCSI Bus "
       "operating at the same time Try reducing the number of drives on the SCSI Bus Try reducing the "
       "synchronous transfer rate on the SCSI Controller Or may be two controlling programs are "
       "accessing the library concurrently For more details please check to see a corresponding "
       "Operating System event for this device ",
       nullptr, false, {}, 0x28000049, EvMsgInfo, {}, Raise::KindZeroWithAllNames},
      {766,
       "The media is write protected Please change the write protect settings on the tape and retry "
       "the job",
       nullptr, false, {}, 0x28000056, EvMsgInfo, {}, Raise::KindZeroWithAllNames},
      {767, nullptr,
       "The mount path %s is full Add a new mount path to a different disk so that the job can resume ",
       true, {Name::Path}, 0, EvMsgWarning, {}, Raise::Never},
      {768,
       "The tape that was in the drive has been replaced or removed Please make sure that the intended "
       "tape is in the drive",
       nullptr, false, {}, 0x28000050, EvMsgWarning, {}, Raise::KindZeroWithAllNames},
      {770,
       "No media found in drive Please make sure that the media in the drive is not accessed by any "
       "other applications",
       nullptr, false, {}, 0x28000055, EvMsgInfo, {}, Raise::KindZeroWithAllNames},
      {771,
       "Device did not respond to commands properly The SCSI Controller reset the SCSI Bus For more "
       "details please check to see a corresponding Operating System event for this device ",
       nullptr, false, {}, 0x2800004C, EvMsgInfo, {}, Raise::KindZeroWithAllNames},
      {773, "The end-of-data marker was reached during an operation ", nullptr, false, {}, 0x2800004E,
       EvMsgError, {}, Raise::KindZeroWithAllNames},
      {790,
       "Unable to communicate with the device %s Please check whether the correct version of drivers "
       "have been installed for this devicePlease check whether the device have been configured "
       "properly",
       nullptr, false, {Name::LibraryName}, 0x28000042, EvMsgInfo, {Name::LibraryName},
       Raise::KindZeroWithAllNames},
      {792,
       "The drive is being used by another application or by another job Please wait and retry the "
       "job later",
       nullptr, false, {}, 0x28000057, EvMsgWarning, {}, Raise::KindZeroWithAllNames},
      {793, "The drive requires cleaning Please retry after cleaning the drive ", nullptr, false, {},
       0x28000052, EvMsgInfo, {}, Raise::KindZeroWithAllNames},
      {974,
       "The Physical End of Tape Reached. This could be because Early Warning for LEOT has not "
       "received from the Tape Drive.",
       nullptr, false, {}, 0x2800005A, EvMsgWarning, {}, Raise::KindZeroWithAllNames},
      {975,
       "Backup file already exists on the path %s  This could be due to an error in previous "
       "deconfiguration of mount path %s",
       nullptr, false, {Name::Path, Name::Path}, 0x28000046, EvMsgWarning, {Name::Path, Name::Path},
       Raise::KindZeroWithAllNames},
      {976,
       "Unable to communicate with the device %s Please check whether the correct version of drivers "
       "have been installed for this device",
       nullptr, false, {Name::LibraryName}, 0x28000047, EvMsgInfo, {Name::DriveName},
       Raise::KindZeroWithAllNames},
      {977,
       "Error occurred while writing to the drive %s Check whether the drive is online and connected "
       "properly Please check whether the correct version of drivers have been installed for this "
       "device",
       nullptr, false, {Name::DriveName}, 0x28000048, EvMsgInfo, {Name::DriveName},
       Raise::KindZeroWithAllNames},
      {978,
       "Backup file does not exist on the path %s Check whether the path %s is accessible and the "
       "backup file exists at that location ",
       nullptr, false, {Name::Path, Name::Path}, 0x28000045, EvMsgWarning, {Name::Path, Name::Path},
       Raise::KindZeroWithAllNames},
      {979,
       "Error occurred while reading from the drive %s Check whether the drive is online and "
       "connected properly Please check whether the correct version of drivers have been installed "
       "for this device",
       "Check whether the drive is online and connected properly Please check whether the correct "
       "version of drivers have been installed for this device ",
       false, {Name::DriveName}, 0x2800004B, EvMsgInfo, {Name::DriveName}, Raise::KindZeroWithAllNames},
      {980,
       "The indicated device requires reinitialization due to hardware errors Please check whether "
       "the correct version of drivers have been installed for this device ",
       nullptr, false, {}, 0x28000051, EvMsgInfo, {}, Raise::KindZeroWithAllNames},
      {981,
       "The operation failed since the library door is opened Retry the job after completing the "
       "operations with library",
       nullptr, false, {}, 0x28000053, EvMsgInfo, {}, Raise::KindZeroWithAllNames},
      {982,
       "Unable to communicate with the device %s Please check whether the correct version of drivers "
       "have been installed for this device ",
       nullptr, false, {Name::LibraryName}, 0x28000054, EvMsgInfo, {Name::DriveName},
       Raise::KindZeroWithAllNames},
      {993, "Check whether the path %s is accessible", nullptr, false, {Name::Path}, 0x28000044,
       EvMsgInfo, {Name::Path}, Raise::Always},
      {996, "Check whether the path %s is accessible. Permission denied Error", nullptr, false,
       {Name::Path}, 0x2800007B, EvMsgInfo, {Name::Path}, Raise::Always},
      {1207, "The specified Network path is not accessible", nullptr, false, {}, 0x28000077,
       EvMsgWarning, {Name::HostName}, Raise::KindOneOnly},
  };
  return rows;
}

MessageRow CrcErrorRow(bool tape) {
  MessageRow row{762, nullptr, nullptr, false, {}, 0, EvMsgWarning, {}, Raise::KindZeroWithAllNames};
  if (tape) {
    row.message =
        "The drive reported a CRC error This could be due to the drive needs cleaning or the tape used "
        "is old. Please retry the operation after cleaning the drive and use a different tape";
    row.reason = 0x28000058;
  } else {
    row.message =
        "The drive reported a CRC error This could be due to a bad block on the disk. Please run disk "
        "utilities to correct this problem.";
    row.reason = 0x28000059;
  }
  return row;
}

// The names of one call, each null when the media manager has none.
struct Names {
  const char* library = nullptr;
  const char* drive = nullptr;
  const char* barcode = nullptr;
  const char* path = nullptr;
  const char* host = nullptr;

  bool AllKnown() const { return library != nullptr && drive != nullptr && barcode != nullptr; }
  const char* Get(Name n) const {
    const char* v = nullptr;
    switch (n) {
      case Name::Path: v = path; break;
      case Name::LibraryName: v = library; break;
      case Name::DriveName: v = drive; break;
      case Name::HostName: v = host; break;
    }
    return v != nullptr ? v : kUnknown;
  }
};

// Fills the "%s" of a message in order; the texts may be of any length.
std::string FillMessage(const char* message, const std::vector<Name>& fill, const Names& names) {
  std::string out;
  size_t next = 0;
  for (const char* p = message; *p != '\0'; ++p) {
    if (p[0] == '%' && p[1] == 's' && next < fill.size()) {
      out += names.Get(fill[next++]);
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

const char* KnownOr(const char* name) { return name != nullptr ? name : kUnknown; }

}  // namespace

void media_fs::DisplayError(unsigned long code, int kind, const char* text) {
  if (m_iMediaType == kMediaTypeReader || code == 0) return;
  if (m_pDriveInfo == nullptr || m_pVolInfo == nullptr) {
    Log(1, "%s %d driveInfo or volumeInfo is NULL", kSource, __LINE__);
    return;
  }
  InitJobClient();
  if (m_pJobClient == nullptr) {
    Log(-1, "Failed to allocate memory for Backup Job Object");
    SetErrorString("Failed to instantiate the Job Client object ");
    return;
  }
  if (text == nullptr) text = "";
  const unsigned int code32 = static_cast<unsigned int>(code);

  OZMMmedInfo media(m_pMlm);
  media.setMediaId(m_pVolInfo->getMediaID());

  if (kind == kKindCloud) {
    unsigned int reason = MMS2BaseError::getEvEventErrorCodeID(static_cast<int>(code32));
    m_pJobClient->addArgument(m_szPath, EvArgText);
    m_pJobClient->addArgument(&reason, EvArgInt32);
    m_pJobClient->setPendingCauseAndEvent(kEventCloud, 6, 0, false, EvMsgInfo, false, JMAlertNone,
                                          JMPendingNone, 0, reason);
    m_strLastErrorMsg =
        FormatText("Error occurred in Cloud Storage Library Path [%s], Error Code [%lu].", m_szPath, code);
    Log(1, "The operation failed because %s", m_strLastErrorMsg.c_str());
    return;
  }

  Names names;
  names.library = m_pDriveInfo->getLibAliasName();
  names.drive = m_pDriveInfo->getDriveAliasName();
  names.barcode = media.getBarCode();
  names.path = m_szPath;
  names.host = m_strHostName.c_str();
  const bool kindZero = kind == kKindLibraryDrive;
  const bool allNames = names.AllKnown();

  std::string prefix;
  if (kindZero && allNames) {
    prefix = FormatText("Error occurred in Library [%s], Drive Name [%s], Barcode [%s], Path [%s]. ",
                        names.library, names.drive, names.barcode, m_szPath);
  } else if (!kindZero) {
    prefix = FormatText("Error occurred in Magnetic Media, Path [%s]. ", m_szPath);
  }

  // The row of the code, or an event-only row for codes without one.
  MessageRow row{code, nullptr, nullptr, true, {}, 0, EvMsgWarning, {}, Raise::Always};
  if (code == 762) {
    row = CrcErrorRow(m_bIsTape);
  } else {
    for (const MessageRow& r : MessageTable()) {
      if (r.code == code) row = r;
    }
  }

  const char* messageFormat = row.message;
  if (!kindZero && row.kindOneMessage != nullptr) {
    messageFormat = row.kindOneMessage;
  } else if (kindZero && row.noKindZeroMessage) {
    messageFormat = nullptr;
  }
  const bool hasMessage = messageFormat != nullptr;
  const std::string message = hasMessage ? FillMessage(messageFormat, row.fill, names) : std::string();

  if (code == 793) {
    Log(1, "Marking that the drive needs cleaning ");
    m_pDriveInfo->setDriveNeedsCleaning();
  }

  bool raise = false;
  switch (row.raise) {
    case Raise::KindZeroWithAllNames: raise = kindZero && allNames; break;
    case Raise::Always: raise = true; break;
    case Raise::KindOneOnly: raise = kind == 1; break;
    case Raise::Never: raise = false; break;
  }

  unsigned int reason = row.reason != 0 ? row.reason
                                        : MMS2BaseError::getEvEventErrorCodeID(static_cast<int>(code32));
  if (raise) {
    if (kindZero) {
      m_pJobClient->addArgument(KnownOr(names.library), EvArgText);
      m_pJobClient->addArgument(KnownOr(names.drive), EvArgText);
      m_pJobClient->addArgument(KnownOr(names.barcode), EvArgText);
    }
    m_pJobClient->addArgument(m_szPath, EvArgText);
    m_pJobClient->addArgument(&reason, EvArgInt32);
    for (Name extra : row.extras) m_pJobClient->addArgument(names.Get(extra), EvArgText);
  }

  if (hasMessage) {
    Log(1, "The operation failed because %s errorno %u", message.c_str(), code32);
  } else {
    Log(1, "The operation failed. errorno [%u]", code32);
  }

  if (raise) {
    m_pJobClient->setPendingCauseAndEvent(kindZero ? kEventLibraryDrive : kEventMagnetic, 6, 0, false,
                                          row.type, false, JMAlertNone, JMPendingNone, 0, reason);
  }

  m_strLastErrorMsg = prefix + text + ". " + (hasMessage ? message : m_strLastErrorMsg);
}

void media_fs::InitJobClient() {
  if (m_pJobClient != nullptr) return;
  std::string hubmaster;
  if (GetHubmasterName(hubmaster) == 0) {
    SetErrorString("Failed to Get Hubmaster Name to instantiate the Job Client object in media_fs");
    return;
  }
  m_pJobClient = new OZJobClient;
  if (m_pJobClient->init(hubmaster.c_str(), OZS_PLATFORM_UNIX, JobId()) == 0) {
    Log(1, "ERROR! Could not init with Job Manager");
    SetErrorString("Failed to instantiate the Job Client object ");
    delete m_pJobClient;
    m_pJobClient = nullptr;
  }
}

void media_fs::getLocalHostName(char* name) {
  if (name == nullptr) return;
  name[0] = '\0';
  char buffer[1024] = {};
  OZPlatformInfo info;
  info.getClientHostName(info.getPhysicalMachine(), buffer, sizeof(buffer));
  buffer[sizeof(buffer) - 1] = '\0';
  if (buffer[0] == '\0') {
    Log(1, ":%s:%d: Failed to get hostname from MA PLATFORM INFO", kSource, __LINE__);
  }
  std::memcpy(name, buffer, std::strlen(buffer) + 1);
}
