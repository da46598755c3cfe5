#include "host/resources.h"

namespace Talvaro::Host {
namespace {

constexpr std::string_view kApplicationIdentityScript = R"(
HKCR
{
	NoRemove AppID
	{
		'%APPID%' = s 'TalvaroCommunicationDriver'
		'TalvaroCommunicationDriver.EXE'
		{
			val AppID = s '%APPID%'
		}
	}
}
)";

constexpr std::string_view kDriverFactoryScript = R"(
HKCR
{
	TalvaroCommunicationDriver.CommunicationDriver.1 = s 'TalvaroCommunicationDriverFactory Class'
	{
		CLSID = s '{1C84D1BC-573F-490C-ADF2-0269F5A6AFDC}'
	}
	TalvaroCommunicationDriver.CommunicationDriver = s 'TalvaroCommunicationDriverFactory Class'
	{
		CLSID = s '{1C84D1BC-573F-490C-ADF2-0269F5A6AFDC}'
		CurVer = s 'TalvaroCommunicationDriver.CommunicationDriver.1'
	}
	NoRemove CLSID
	{
		ForceRemove {1C84D1BC-573F-490C-ADF2-0269F5A6AFDC} = s 'TalvaroCommunicationDriverFactory Class'
		{
			ProgID = s 'TalvaroCommunicationDriver.CommunicationDriver.1'
			VersionIndependentProgID = s 'TalvaroCommunicationDriver.CommunicationDriver'
			LocalServer32 = s '%MODULE%'
			val AppID = s '%APPID%'
			'TypeLib' = s '{ABB4E8DA-A97D-43a3-8960-ADEF213F9E4D}'
		}
	}
}
)";

constexpr std::string_view kApplicationLifecycleScript = R"(
HKCR
{
	TalvaroCommunicationDriver.CommunicationDriver.1 = s 'TalvaroCommunicationDriverGApp Class'
	{
		CLSID = s '{CC7E9B5E-49E9-4143-BCFA-F2B794FF011A}'
	}
	TalvaroCommunicationDriver.CommunicationDriver = s 'TalvaroCommunicationDriverGApp Class'
	{
		CLSID = s '{CC7E9B5E-49E9-4143-BCFA-F2B794FF011A}'
		CurVer = s 'TalvaroCommunicationDriver.CommunicationDriver.1'
	}
	NoRemove CLSID
	{
		ForceRemove {CC7E9B5E-49E9-4143-BCFA-F2B794FF011A} = s 'TalvaroCommunicationDriverGApp Class'
		{
			ProgID = s 'TalvaroCommunicationDriver.CommunicationDriver.1'
			VersionIndependentProgID = s 'TalvaroCommunicationDriver.CommunicationDriver'
			LocalServer32 = s '%MODULE%'
			val AppID = s '%APPID%'
			'TypeLib' = s '{ABB4E8DA-A97D-43a3-8960-ADEF213F9E4D}'
		}
	}
}
)";

constexpr std::string_view kObserverSingletonScript = R"(
HKCR
{
	TalvaroCommunicationDriver.ObserverSingleton.1 = s 'ObserverSingleton Class'
	{
		CLSID = s '{95F7797C-75B3-4e83-8556-E6B0C4E46BEE}'
	}
	TalvaroCommunicationDriver.ObserverSingleton = s 'ObserverSingleton Class'
	{
		CLSID = s '{95F7797C-75B3-4e83-8556-E6B0C4E46BEE}'
		CurVer = s 'TalvaroCommunicationDriver.ObserverSingleton.1'
	}
	NoRemove CLSID
	{
		ForceRemove {95F7797C-75B3-4e83-8556-E6B0C4E46BEE} = s 'ObserverSingleton Class'
		{
			ProgID = s 'TalvaroCommunicationDriver.ObserverSingleton.1'
			VersionIndependentProgID = s 'TalvaroCommunicationDriver.ObserverSingleton'
			LocalServer32 = s '%MODULE%'
			val AppID = s '%APPID%'
			'TypeLib' = s '{ABB4E8DA-A97D-43a3-8960-ADEF213F9E4D}'
		}
	}
}
)";

}  // namespace

std::optional<std::wstring_view> FindStringResource(UINT id) {
  if (id == IDS_SERVICENAME) return L"TalvaroCommunicationDriver";
  return std::nullopt;
}

std::optional<std::string_view> FindRegistryScript(UINT id) {
  switch (id) {
    case IDR_TALVAROCOMMUNICATIONDRIVER:
      return kApplicationIdentityScript;
    case IDR_TALVAROCOMMUNICATIONDRIVERFACTORY:
      return kDriverFactoryScript;
    case IDR_TALVAROCOMMUNICATIONDRIVERGAPP:
      return kApplicationLifecycleScript;
    case IDR_OBSERVERSINGLETON:
      return kObserverSingletonScript;
    default:
      return std::nullopt;
  }
}

}  // namespace Talvaro::Host
