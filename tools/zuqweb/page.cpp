// The page of zuqweb: everything it needs is here (a plant network has no
// way out to fetch scripts, fonts or styles). It follows /events and posts
// writes to /api/points.
#include "web.h"

namespace zuqweb {

const char kPage[] = R"PAGE(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Controller I/O</title>
<style>
body{font:14px/1.4 system-ui,sans-serif;margin:0;background:#f4f5f7;color:#1d2430}
header{display:flex;flex-wrap:wrap;gap:1em;align-items:center;padding:.6em 1em;background:#1d2430;color:#fff}
header h1{font-size:1.1em;margin:0}
.badge{padding:.2em .7em;border-radius:1em;font-weight:600;background:#777;color:#fff}
.badge.cycling{background:#1e8e3e}.badge.failing{background:#d93025}.badge.no-board,.badge.no-port{background:#e37400}
.badge.no-server,.badge.offline{background:#5f6368}
#health{display:flex;flex-wrap:wrap;gap:.3em 1.5em;padding:.6em 1em;background:#fff;border-bottom:1px solid #ddd}
#health span b{font-variant-numeric:tabular-nums}
#health .bad b{color:#d93025}
#error{color:#d93025}
main{display:flex;flex-wrap:wrap;gap:1em;padding:1em;align-items:flex-start}
section{background:#fff;border:1px solid #ddd;border-radius:6px;padding:.5em .8em}
h2{font-size:1em;margin:.2em 0 .4em}
table{border-collapse:collapse;font-variant-numeric:tabular-nums}
td,th{padding:.15em .6em;text-align:right;border-bottom:1px solid #eee}
tr.differs td{background:#fde7e4}
tr.on td.v{color:#1e8e3e;font-weight:600}
body.only tr:not(.differs){display:none}body.only tr.head{display:table-row}
body.only #health span.zero{display:none}
#result{padding:0 1em;min-height:1.4em}
button{font:inherit;padding:0 .5em}input{width:5em;font:inherit}
</style></head>
<body>
<header><h1>Controller I/O</h1>
<span>board <b id="board">-</b></span><span id="state" class="badge">connecting</span>
<label><input type="checkbox" id="only" style="width:auto"> only differing outputs and failures</label>
</header>
<div id="health"></div>
<div id="result" data-role="result"></div>
<main id="tables"></main>
<script>
"use strict";
const KINDS={di:"Discrete inputs",coil:"Coils",ir:"Input registers",hr:"Holding registers",ir32:"32-bit inputs"};
const S={status:null,points:{}};
const $=id=>document.getElementById(id);
const esc=t=>String(t).replace(/[&<>"]/g,c=>({"&":"&amp;","<":"&lt;",">":"&gt;",'"':"&quot;"}[c]));
$("only").onchange=e=>document.body.classList.toggle("only",e.target.checked);
function stat(label,value,key,bad){
  const zero=(typeof value==="number"&&value===0)?" zero":"";
  return `<span class="${bad&&value?"bad":""}${key?zero:""}" data-key="${key||""}">${label} <b>${esc(value)}</b></span>`;
}
function showStatus(){
  const s=S.status;if(!s)return;
  const st=$("state");st.textContent=s.state;st.className="badge "+s.state.replace(/ /g,"-");
  $("board").textContent=s.board||"-";
  if(!s.server){$("health").innerHTML=stat("region",s.region);return;}
  const age=s.inputsAgeMs===null?"never":s.inputsAgeMs+" ms";
  $("health").innerHTML=[stat("cycle rate",s.cycleRate.toFixed(1)+"/s"),stat("interval",s.intervalMs+" ms"),
    stat("inputs age",age),stat("cycles",s.cycles),stat("last cycle",s.lastCycleUs+" µs"),
    stat("failed reads",s.failedReads,"failedReads",1),stat("failed requests",s.failedRequests,"failedRequests",1),
    stat("failed writes",s.failedWrites,"failedWrites",1),stat("port reopens",s.portReopens,"portReopens",1),
    stat("output resends",s.outputResends,"outputResends",1),
    s.lastError?`<span id="error">last error: ${esc(s.lastError)}</span>`:""].join("");
}
function cells(kind,p){
  const out=(kind==="coil"||kind==="hr");
  let h=`<td>${p.address}</td><td class="v">${p.value}</td>`;
  if(out)h+=`<td class="rb">${p.readback}</td>`;
  if(out&&S.status&&S.status.writes){
    h+=kind==="coil"?`<td><button data-w="coil" data-a="${p.address}" data-v="${p.value?0:1}">${p.value?"off":"on"}</button></td>`
      :`<td><input data-a="${p.address}" value="${p.value}"><button data-w="hr" data-a="${p.address}">set</button></td>`;
  }
  return h;
}
function row(kind,p){
  const tr=document.createElement("tr");tr.id=kind+"-"+p.address;update(tr,kind,p);return tr;
}
function update(tr,kind,p){
  tr.innerHTML=cells(kind,p);
  tr.className=(p.differs?"differs ":"")+((kind==="di"||kind==="coil")&&p.value?"on":"");
}
function showTables(){
  const m=$("tables");m.innerHTML="";
  for(const kind in KINDS){
    const list=S.points[kind]||[];if(!list.length)continue;
    const out=(kind==="coil"||kind==="hr");
    const sec=document.createElement("section");
    sec.innerHTML=`<h2>${KINDS[kind]}</h2><table id="t-${kind}"><tr class="head"><th>address</th><th>${out?"set":"value"}</th>${out?"<th>board</th>":""}${out&&S.status.writes?"<th></th>":""}</tr></table>`;
    const t=sec.querySelector("table");for(const p of list)t.appendChild(row(kind,p));
    m.appendChild(sec);
  }
}
$("tables").onclick=async e=>{
  const b=e.target.closest("button[data-w]");if(!b)return;
  const kind=b.dataset.w,address=+b.dataset.a;
  const value=kind==="coil"?+b.dataset.v:+b.parentNode.querySelector("input").value;
  $("result").textContent=`writing ${kind} ${address} = ${value} ...`;
  try{
    const r=await fetch(location.origin+"/api/points",{method:"POST",headers:{"Content-Type":"application/json"},body:JSON.stringify({kind,address,value})});
    const j=await r.json();
    $("result").textContent=`${kind} ${address} = ${value}: ${j.outcome||j.error}`+("readback" in j?`, board has ${j.readback}`:"");
  }catch(x){$("result").textContent="write failed: "+x;}
};
// Without the page address's user and password, which fetch refuses.
const es=new EventSource(location.origin+"/events");
es.addEventListener("snapshot",e=>{const d=JSON.parse(e.data);S.status=d.status;S.points=d.points;showStatus();showTables();});
es.addEventListener("change",e=>{
  const d=JSON.parse(e.data);
  if(d.status){S.status=d.status;showStatus();}
  for(const kind in (d.points||{}))for(const p of d.points[kind]){
    const tr=$(kind+"-"+p.address);if(tr)update(tr,kind,p);
  }
});
es.onerror=()=>{const st=$("state");st.textContent="offline";st.className="badge offline";};
</script></body></html>
)PAGE";

}  // namespace zuqweb
