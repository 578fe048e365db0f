<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>QObject</name>
    <message>
        <source>tarvo-vexa-snsorwindow is already running!</source>
        <translation>tarvo-vexa-snsorwindow is already running!</translation>
    </message>
</context>
<context>
    <name>SensorWindow</name>
    <message>
        <source>重力传感器</source>
        <translation>Gravity Sensor</translation>
    </message>
    <message>
        <source>Tilt up</source>
        <translation>Tilt up</translation>
    </message>
    <message>
        <source>Tilt down</source>
        <translation>Tilt down</translation>
    </message>
    <message>
        <source>Tilt left</source>
        <translation>Tilt left</translation>
    </message>
    <message>
        <source>Tilt right</source>
        <translation>Tilt right</translation>
    </message>
    <message>
        <source>Tilt up and left</source>
        <translation>Tilt up and left</translation>
    </message>
    <message>
        <source>Tilt down and left</source>
        <translation>Tilt down and left</translation>
    </message>
    <message>
        <source>Tilt up and right</source>
        <translation>Tilt up and right</translation>
    </message>
    <message>
        <source>Tilt down and right</source>
        <translation>Tilt down and right</translation>
    </message>
    <message>
        <source>Lie flat (pause)</source>
        <translation>Lie flat (pause)</translation>
    </message>
    <message>
        <source>%1: sends acceleration %2</source>
        <translation>%1: sends acceleration %2</translation>
    </message>
</context>
</TS>
