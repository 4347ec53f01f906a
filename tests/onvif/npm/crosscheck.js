// The npm package `onvif` (an ONVIF client nobody here wrote) against
// dvrsim's ONVIF face: connect (clock, services, profiles, video sources),
// device information, set the time, list and go to presets, the recorder's
// recordings, summary and replay URI, and a motion
// event received through the package's own pull-point loop, which dvrsim
// raises when this script asks its control port.
//   node crosscheck.js HOST ONVIF-PORT CONTROL-PORT USER PASSWORD
// Prints one line per check and exits 0 when all passed.
'use strict';
const net = require('net');
const { Cam } = require('onvif');

const [host, port, controlPort, username, password] = process.argv.slice(2);
const deadline = setTimeout(() => fail('no motion event within 10 s'), 10000);

function fail(what) {
  console.log('FAILED: ' + what);
  process.exit(1);
}
function check(condition, what) {
  if (!condition) fail(what);
  console.log('ok: ' + what);
}
function control(line) {
  return new Promise((resolve, reject) => {
    const socket = net.connect(Number(controlPort), host, () => socket.write(line + '\n'));
    let text = '';
    socket.on('data', (d) => {
      text += d;
      if (text.includes('\n')) {
        socket.end();
        resolve(text.trim());
      }
    });
    socket.on('error', reject);
  });
}
const call = (cam, method, ...args) => new Promise((resolve, reject) =>
  cam[method](...args, (err, result) => (err ? reject(err) : resolve(result))));

const cam = new Cam({ hostname: host, port: Number(port), username, password, timeout: 5000 }, async function (err) {
  try {
    check(!err, 'connect: ' + (err ? err.message : 'clock, services, profiles and video sources read'));
    check(this.profiles.length === 16 && this.activeSource.profileToken === 'Profile_0', '16 profiles, the first active');
    const info = await call(cam, 'getDeviceInformation');
    check(info.manufacturer === 'Dvrlink' && info.firmwareVersion === 'dvrsim 1.0.0', 'device information: ' +
      info.manufacturer + ' ' + info.model);
    const when = new Date(Date.UTC(2031, 4, 6, 7, 8, 9));
    await call(cam, 'setSystemDateAndTime', { dateTime: when, dateTimeType: 'Manual', daylightSavings: false });
    const status = await control('onvif status');
    check(status.includes('last_time_set=2031-05-06T07:08:09Z'), 'time set: ' + when.toISOString());
    const presets = await call(cam, 'getPresets', { profileToken: 'Profile_2' });
    check(Object.keys(presets).length === 8 && presets['Preset 4'].$.token === 'Preset_4', 'eight presets listed');
    await call(cam, 'gotoPreset', { profileToken: 'Profile_2', preset: 'Preset_4' });
    check((await control('onvif status')).includes('"GotoPreset Profile_2 Preset_4"'), 'gone to preset 4');
    const recordings = await call(cam, 'getRecordings');
    check(recordings.length === 16 && recordings[2].recordingToken === 'Recording_2' &&
      recordings[2].configuration.source.sourceId === 'VS_2', 'sixteen recordings, one per video source');
    const summary = await call(cam, 'getRecordingSummary');
    check(summary.numberRecordings === 16 && Date.parse(summary.dataFrom) < Date.parse(summary.dataUntil),
      'recording summary: ' + summary.dataFrom + ' to ' + summary.dataUntil);
    const uri = await call(cam, 'getReplayUri', { recordingToken: 'Recording_2' });
    check(uri === 'rtsp://127.0.0.7:8554/recording/2', 'replay URI ' + uri);
    cam.on('event', (message) => {
      const topic = message.topic._;
      const item = message.message.message.data.simpleItem;
      if (!topic.endsWith('VideoSource/MotionAlarm') || message.message.message.$.PropertyOperation !== 'Changed') {
        return;  // the initial state of every topic comes first
      }
      check(item.$.Name === 'State' && String(item.$.Value) === 'true', 'motion event: ' + topic);
      clearTimeout(deadline);
      process.exit(0);
    });
    // The subscription exists once the package's first pull is waiting.
    for (let i = 0; i < 50 && !(await control('onvif status')).includes('waiting_pulls=1'); ++i) {
      await new Promise((r) => setTimeout(r, 100));
    }
    await control('alarm begin 3 MOTION');
  } catch (e) {
    fail(e.message || String(e));
  }
});
