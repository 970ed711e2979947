// The commands behind the pages. Settings families pair each Get command of
// the device applications with its Set command, as the protocol table
// (config/command_para) lists them; capability commands are the table's
// "device_cap" rows.
export const CAPABILITIES = [
  'GetDeviceCapability',
  'GetVideoCapability',
  'GetAudioCapability',
  'GetNetworkCapability',
  'GetStreamCapability',
];

const pair = (name) => [`Get${name}`, `Set${name}`];

export const FAMILIES = [
  { id: 'video', groups: [pair('VideoOutputDisplayParameter'), pair('VideoOutputSourceParameters'), pair('VideoOutputInterfaceParameters')] },
  { id: 'encode', groups: [pair('VideoEncodeParameters'), pair('VideoEncodeOSDParameters')] },
  { id: 'watermark', groups: [pair('WatermarkOSDParameters')] },
  { id: 'audio', groups: [pair('AudioOutputParameters')] },
  { id: 'rtsp', groups: [pair('RtspServerParameter')] },
  { id: 'streaming', groups: [pair('StreamingInputParameters')] },
  // The WiFi application may take up to 5 s to answer its parameter commands.
  { id: 'wifi', groups: [pair('NetworkWIFIParameters')], scan: 'GetScanWIFIHotspot', timeout: 20000 },
  { id: 'crontab', groups: [pair('CrontabParameters')] },
];

// "GetVideoOutputDisplayParameter" -> "VideoOutputDisplay": the part that
// names the group (turned into words by the interface language).
export function groupName(command) {
  return command.replace(/^(Get|Set)/, '').replace(/Parameters?$/, '') || command;
}

// The capability documents by short name (device, video, audio, network,
// stream), read once per page load; a document that cannot be read is
// left out, and the forms then fall back to typed fields.
let capsPromise = null;
export function capabilities(call) {
  if (!capsPromise) {
    capsPromise = (async () => {
      const out = {};
      for (const cmd of CAPABILITIES) {
        try {
          out[cmd.replace(/^Get(\w+)Capability$/, '$1').toLowerCase()] = (await call(cmd)).Parameters || {};
        } catch { /* typed fields instead */ }
      }
      return out;
    })();
  }
  return capsPromise;
}
