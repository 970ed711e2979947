// The EDID files the device keeps in /mnt/app/: nine presets and the
// custom file that an upload fills.
import { t } from './i18n.js';

export const CUSTOM_EDID = 'QX_HDMI_EDID_CSTM.bin';

export const EDID_FILES = [
  'DID_AUTO.bin',
  'EDID_1920x1080P60.bin',
  'EDID_1280x720P60.bin',
  'EDID_1920x1200P60.bin',
  'EDID_1920x1080i60.bin',
  'EDID_1024x768P60.bin',
  'EDID_800x600P60.bin',
  'EDID_640x480P60.bin',
  'EDID_1280x1024P60.bin',
  CUSTOM_EDID,
];

export function edidLabel(file) {
  if (file === 'DID_AUTO.bin') return t('edid.auto');
  if (file === CUSTOM_EDID) return t('edid.custom');
  const m = /^EDID_(\d+)x(\d+)([Pi])(\d+)\.bin$/.exec(file || '');
  if (!m) return file || t('edid.unknown');
  return t(m[3] === 'i' ? 'edid.interlaced' : 'edid.progressive', { w: m[1], h: m[2], hz: m[4] });
}
